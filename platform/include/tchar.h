/* Generic-text mappings for the narrow (non-Unicode) build, which is the only one the product makes. */
#ifndef WB_TCHAR_H
#define WB_TCHAR_H

#include <stdio.h>
#include <string.h>
#include <strings.h>

#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef char TCHAR;
typedef char _TCHAR;
#endif
#ifndef _T
#define _T(s) s
#endif
#ifndef _TEXT
#define _TEXT(s) s
#endif

#define _tcslen strlen
#define _tcscpy strcpy
#define _tcsncpy strncpy
#define _tcscat strcat
#define _tcscmp strcmp
#define _tcsncmp strncmp
#define _tcsicmp strcasecmp
#define _tcsnicmp strncasecmp
#define _tcschr strchr
#define _tcsrchr strrchr
#define _tcsstr strstr
#define _stprintf sprintf
#define _sntprintf snprintf
#define _tprintf printf

#endif /* WB_TCHAR_H */
