// Lumbrel: the texts of the outside recovery launcher, in six languages.
//
// The launcher loads liblumbrel.so and asks for its texts by number (2001 to 2028) into buffers of
// UTF-16 units. LoadDLLRes picks the language of the user interface (1028, 1033, 1041, 1042, 2052,
// 3076; anything else reads English) and maps the pseudo id 5000 to the recovery-environment name
// that fits the platform version; CLumbrel::LoadDLLRes loads ids as they are. Both are thread-safe:
// the tables are constant data. Buffers belong to the caller; nothing is allocated for it.
#ifndef QUENVAR_LUMBREL_LUMBREL_H_
#define QUENVAR_LUMBREL_LUMBREL_H_

#include <stdint.h>

#if defined(__GNUC__)
#define LUMBREL_API __attribute__((visibility("default")))
#else
#define LUMBREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Loads text id into buffer (size units including the terminator), cut to fit and always
// terminated when size > 0. A null buffer or a size below 1 writes nothing; an unknown id gives an
// empty text. Id 5000 stands for 2028 ("...(64bit)") on platform version 6.1 and later, else 2011.
LUMBREL_API void LoadDLLRes(char16_t* buffer, int32_t id, int32_t size);

// Always 0; kept for launchers that look the symbol up to check the library.
LUMBREL_API extern int32_t nLumbrel;

#ifdef __cplusplus
}  // extern "C"

// The launcher's handle on the library: remembers the library's instance and loads texts from it.
class LUMBREL_API CLumbrel {
 public:
  CLumbrel();
  CLumbrel(const CLumbrel& other) = default;
  CLumbrel& operator=(const CLumbrel& other);

  // The same load as ::LoadDLLRes but without the 5000 substitution (5000 itself has no text).
  void LoadDLLRes(char16_t* buffer, unsigned int id, int size);

  // The instance the texts come from (the library's load address).
  const void* instance() const { return instance_; }

 private:
  const void* instance_;
};
#endif

#endif  // QUENVAR_LUMBREL_LUMBREL_H_
