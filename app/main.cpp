#include "app/program.h"

int main(int argc, char** argv) { return varnelo::RunProgram(argc, argv); }
