/* Quillden engine: export and calling-convention macros.
 *
 * Every function of the engine's C interface is declared with QUILLDEN_API. The library is built with
 * hidden visibility, so only declarations carrying this macro leave it; the linker version script
 * additionally keeps everything outside the MST_, DRV_, PRG_, CPY_, AUD_ and UTL_ families local. */
#ifndef QUILLDEN_EXPORT_H_
#define QUILLDEN_EXPORT_H_

#ifdef __cplusplus
#define QUILLDEN_EXTERN_C extern "C"
#define QUILLDEN_BEGIN_DECLS extern "C" {
#define QUILLDEN_END_DECLS }
#else
#define QUILLDEN_EXTERN_C
#define QUILLDEN_BEGIN_DECLS
#define QUILLDEN_END_DECLS
#endif

#if defined(QUILLDEN_BUILDING)
#define QUILLDEN_API __attribute__((visibility("default")))
#else
#define QUILLDEN_API
#endif

#endif /* QUILLDEN_EXPORT_H_ */
