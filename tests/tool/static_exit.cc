// Linked statically, so no preloaded library ever runs in it. Exits with the
// status given as its argument.
#include <cstdlib>

int main(int argc, char** argv) { return argc > 1 ? std::atoi(argv[1]) : 0; }
