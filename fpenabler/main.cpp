// fpenabler: switches the editor between whole-number and eight-decimal
// brush coordinates in the map files it writes.
#include "catalogue.h"

int main(int argc, char** argv) {
    return runPatcher(argc, argv, fpenablerCatalogue());
}
