// ExpOptF: the export option panel TExportOptionForm and its layout.
#ifndef PCX_EXPOPTF_H
#define PCX_EXPOPTF_H

#include "United.h"

#endif  // PCX_EXPOPTF_H
