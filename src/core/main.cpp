// Process entry of the vellumgard daemon.
#include "core/daemon.h"

int main(int argc, char** argv) {
    return vg::runDaemon(argc, argv);
}
