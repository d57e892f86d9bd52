// Dpcx: the PCX header record and the decoder TPcxDecoder.
#include "Dpcx.h"
