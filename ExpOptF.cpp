// ExpOptF: the export option panel TExportOptionForm and its layout.
#include "ExpOptF.h"
