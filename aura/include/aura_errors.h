/*
 * Aura audio engine: message texts of the result codes.
 */
#ifndef AURA_ERRORS_H
#define AURA_ERRORS_H

#include "aura.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Returns the fixed message of a result: "No errors." for AURA_OK, the
 * engine's text for 1 to 97, and "Unknown error." for any other value,
 * negative ones included. The returned text is static and never null.
 */
AURA_API const char *AURA_ErrorString(AURA_RESULT errcode);

#ifdef __cplusplus
}
#endif

#endif /* AURA_ERRORS_H */
