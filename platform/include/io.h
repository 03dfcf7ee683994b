/* The C runtime's wide file calls over Windows paths (mapped like every other path of the stand-in).
   Windows declares _wfopen in stdio.h and wchar.h and the permission bits in sys/stat.h; here they sit
   with the rest, since the C library's own headers do not have them. */
#ifndef WB_IO_H
#define WB_IO_H

#include <stdio.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef _S_IREAD
#define _S_IREAD 0x0100
#endif
#ifndef _S_IWRITE
#define _S_IWRITE 0x0080
#endif

/* Modes as the C runtime takes them; the Windows-only letters (t, S, R, T, D, N) are accepted. */
FILE *_wfopen(const wchar_t *filename, const wchar_t *mode);
/* mode: 0 exists, 2 writable, 4 readable, 6 both. 0 or -1 with errno. */
int _waccess(const wchar_t *path, int mode);
/* _S_IWRITE makes the file writable, without it the file becomes read-only. */
int _wchmod(const wchar_t *path, int pmode);

#ifdef __cplusplus
}
#endif

#endif /* WB_IO_H */
