#include "tavodemo.h"

int main(int argc, char **argv) { return tavodemo_main(argc, argv); }
