// The few C runtime entries the stub takes from msvcrt.dll; it has no runtime start-up of its own.
#ifndef VANTREL_PROCESS_RUNTIME_H
#define VANTREL_PROCESS_RUNTIME_H

extern "C" {
// The runtime's exit-handler list, run by exit() but not by ExitProcess(). exit is called
// through its jump, which the link keeps in any case.
__declspec(dllimport) int __cdecl atexit(void(__cdecl* handler)(void));
void __cdecl exit(int code);
}

#endif  // VANTREL_PROCESS_RUNTIME_H
