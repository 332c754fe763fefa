// gridenlarger: switches the editor between its stock grid range and an
// enlarged one.
#include "catalogue.h"

int main(int argc, char** argv) {
    return runPatcher(argc, argv, gridenlargerCatalogue());
}
