// Entry point of qmh_installer.
#include "Logging.h"

int main(int argc, char** argv) {
    ZipSync::g_logger->infof("qmh_installer");
    return 0;
}
