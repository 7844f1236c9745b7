// Input detection: one look at the start of the file decides how the whole
// file is played.
#pragma once

#include "input/input_format.h"
#include "platform/dos.h"

// Reads the header into transfer buffer 0, prints what was found and leaves
// the file where the first refill reads. Never refuses a file.
InputFormat DetectInput(BPTR file);
