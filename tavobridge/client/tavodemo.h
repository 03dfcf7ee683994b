// The main job's client, callable from a program of its own or from a host that set up the world
// around it first.
#ifndef TAVOBRIDGE_CLIENT_TAVODEMO_H
#define TAVOBRIDGE_CLIENT_TAVODEMO_H

int tavodemo_main(int argc, char **argv);

#endif
