// Epcx: the encoder TPcxEncoder.
#ifndef PCX_EPCX_H
#define PCX_EPCX_H

#include "United.h"

#endif  // PCX_EPCX_H
