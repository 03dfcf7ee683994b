#include "flat_env.h"

namespace tavo {

namespace {

// A build without the instrument API library or the port objects: a binding finds no instance.
class unbound_environment : public environment {
public:
    DWORD bind(std::unique_ptr<instrument_api> &out) override {
        out.reset();
        return 5;
    }
    std::unique_ptr<modem_directory> modems() override { return nullptr; }
};

}  // namespace

environment &morvex_environment() {
    static unbound_environment env;
    return env;
}

}  // namespace tavo
