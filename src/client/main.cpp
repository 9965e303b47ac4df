// kestrix: the command-line client.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "client/client_session.h"

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    return kx::RunClient(args, std::getenv("KESTRIX_PASSWORD"), 0, std::cout, std::cerr);
}
