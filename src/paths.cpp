// The fixed paths, chosen when the program is built.
#include "program_selection.h"

namespace pathvane {

const char table_path[] = PATHVANE_TABLE;
const char fallback_program[] = PATHVANE_FALLBACK;

} // namespace pathvane
