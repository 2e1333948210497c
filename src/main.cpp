// strataperm: within-group permutation test of marker-trait association in a
// sample that may mix two populations. With no arguments it runs the study of
// "parameter.txt" in the current folder.
#include "commands/cli.hpp"

int main(int argc, char** argv) { return strataperm::run_command_line(argc, argv); }
