// Corvale Player: the executable only hands over to the core.
#include "core/core.h"

int main(int argc, char** argv) { return PlayerMain(argc, argv); }
