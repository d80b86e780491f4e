// kvd-init PATH: creates an empty local store (kvd.abs) with the tables TABLES, PLAN and ML.
// An existing file is never touched.
#include <cstdio>
#include <exception>

#include "store/store.h"
#include "xbase/file.h"

int main(int argc, char** argv) {
    xbase::useUtf8Console();
    // One path, never an option: "kvd-init --help" must not create a store named --help.
    if (argc != 2 || argv[1][0] == '-') {
        std::fputs(
            "usage: kvd-init PATH\n"
            "  creates an empty local store (kvd.abs) at PATH; an existing file is left "
            "as it is\n",
            stderr);
        return 2;
    }
    try {
        store::createStore(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvd-init: %s\n", e.what());
        return 1;
    }
    return 0;
}
