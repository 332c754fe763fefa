// What fpenabler knows of the editor: the face-format strings and the code
// bytes that switch brush point coordinates between whole numbers and eight
// decimal places.
#pragma once

#include "patchcore.h"

// The banner, prompts and six states of fpenabler.
const Catalogue& fpenablerCatalogue();
