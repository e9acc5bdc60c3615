/* The program's entry, for hosts linked here without Visual C++'s own
 * startup code (which a Visual C++ build brings): the arguments from the C
 * runtime, then main. */
#include <stdlib.h>

int __cdecl _configure_narrow_argv(int mode);
int main(int argc, char** argv);

void __cdecl mainCRTStartup(void) {
  _configure_narrow_argv(2); /* _crt_argv_unexpanded_arguments */
  exit(main(*__p___argc(), *__p___argv()));
}
