#include <cstdio>
#include <string>
#include <vector>

#include "vterrtool/VTErrTool.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return vterrtool::run(args, stdout, stderr);
}
