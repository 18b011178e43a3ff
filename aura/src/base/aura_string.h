// The engine's own string and memory helpers. A null string reads as "".
#ifndef AURA_STRING_H
#define AURA_STRING_H

// Copies src with its NUL into dest; returns dest.
char *AURA_strcpy(char *dest, const char *src);
// Copies at most len bytes of src and fills the rest of the len bytes with
// NULs; dest is not terminated when src has len or more characters.
char *AURA_strncpy(char *dest, const char *src, int len);
// Byte-wise (unsigned) comparison: the difference of the first differing bytes.
int AURA_strcmp(const char *a, const char *b);
int AURA_strncmp(const char *a, const char *b, int len);
// As AURA_strncmp, with ASCII letters compared without regard to case.
int AURA_strnicmp(const char *a, const char *b, int len);
int AURA_strlen(const char *s);
// A copy in pool memory (free it with the pool); null on failure or for null.
char *AURA_strdup(const char *s);
// Upper-cases ASCII letters in place; returns s.
char *AURA_strupr(char *s);
// The difference of the first differing bytes of two ranges, 0 when equal.
int AURA_memcmp(const void *a, const void *b, unsigned int len);

#endif // AURA_STRING_H
