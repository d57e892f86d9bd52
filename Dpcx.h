// Dpcx: the PCX header record and the decoder TPcxDecoder.
#ifndef PCX_DPCX_H
#define PCX_DPCX_H

#include "United.h"

#endif  // PCX_DPCX_H
