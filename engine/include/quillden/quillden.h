/* Quillden engine: the whole C interface in one include.
 *
 * Families: PRG_ progress objects, MST_ data discs, DRV_ drives and media, CPY_ disc images and
 * comparing, AUD_ audio discs, UTL_ utilities. Every export returns a result code (result.h), a
 * handle, a count or a boolean, and never throws. Strings are NUL-terminated UTF-16. Handles are
 * opaque; whoever creates an object destroys it with the matching export. */
#ifndef QUILLDEN_H_
#define QUILLDEN_H_

#include "quillden/types.h"
#include "quillden/result.h"
#include "quillden/progress.h"
#include "quillden/datadisk.h"
#include "quillden/mastering.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/audio.h"
#include "quillden/volume.h"
#include "quillden/virtual.h"
#include "quillden/util.h"

#endif /* QUILLDEN_H_ */
