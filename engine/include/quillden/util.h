/* Quillden engine: utilities (UTL_).
 *
 * The AutoRun hook answers the desktop's "QueryCancelAutoPlay" question with "cancel" while media are
 * written, so that a freshly recorded disc does not start the desktop's AutoPlay. It is installed once
 * per machine: the installed state is shared by every process that loads the engine. Call both
 * functions from one thread of the program (start-up and exit). */
#ifndef QUILLDEN_UTIL_H_
#define QUILLDEN_UTIL_H_

#include "quillden/types.h"

QUILLDEN_BEGIN_DECLS

/* Installs the AutoRun hook. Returns TRUE when this call installed it; FALSE when one was already
 * installed (by this or another process) or installation failed. */
QUILLDEN_API BOOL UTL_AutoRunHook(void);

/* Removes the AutoRun hook. Returns TRUE when it was removed; FALSE when none was installed or the
 * removal failed (the hook then stays recorded as installed). */
QUILLDEN_API BOOL UTL_AutoRunUnhook(void);

QUILLDEN_END_DECLS

#endif /* QUILLDEN_UTIL_H_ */
