// file_check.cpp -- is_file_exist, in a file of its own so that a program
// that drives the parser without touching the file system (the command-line
// fuzz target) can link its own in place of this one.
#include <fstream>

#include "cmdline.h"

bool is_file_exist(std::string const& path) {
    std::ifstream file(path);
    return file.good();
}
