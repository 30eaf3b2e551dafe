/* The public header must stay valid C. */
#include "tarnfold/tarnfold.h"

typedef DWORD (*TarnfoldFunction)(DWORD letter, const WCHAR* file_system, const WCHAR* label);

TarnfoldFunction tarnfold_header_check_function(void) {
  return &Tarnfold;
}
