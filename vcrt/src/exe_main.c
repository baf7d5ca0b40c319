// Entry point of a console program: sets up the UCRT's view of the command
// line and environment, runs the program's initialisers, calls main and ends
// the process with its result through exit(), which runs what atexit()
// registered.
#include <stdlib.h>

#include "internal.h"

int __cdecl main(int argc, char** argv, char** envp);

enum { kConsoleApp = 1, kUnexpandedArguments = 1 };
// The UCRT's start-up exports (not declared by mingw-w64's headers).
void __cdecl _set_app_type(int);
int __cdecl _configure_narrow_argv(int);
int __cdecl _initialize_narrow_environment(void);
char** __cdecl _get_initial_narrow_environment(void);

int mainCRTStartup(void) {
  _set_app_type(kConsoleApp);
  if (_configure_narrow_argv(kUnexpandedArguments) != 0 || _initialize_narrow_environment() != 0) exit(255);
  if (!__zn_initialize_module()) exit(255);
  exit(main(*__p___argc(), *__p___argv(), _get_initial_narrow_environment()));
}
