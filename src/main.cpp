#include "core/core.h"

int main(int argc, char** argv) { return PlayerMain(argc, argv); }
