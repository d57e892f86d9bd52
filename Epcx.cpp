// Epcx: the encoder TPcxEncoder.
#include "Epcx.h"
