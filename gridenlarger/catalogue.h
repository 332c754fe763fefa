// What gridenlarger knows of the editor: the seven constants that bound and
// scale its grid.
#pragma once

#include "patchcore.h"

// The prompt and six states of gridenlarger; it has no banner and no path prompt.
const Catalogue& gridenlargerCatalogue();
