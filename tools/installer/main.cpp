// installer -verboseR -target <dir> -package <path>
#include "installer/PelPkgInstall.h"

int main(int argc, char** argv) { return pkginstall::installerMain(argc, argv); }
