// A request to end the program from the keyboard or the system (Ctrl-C,
// SIGINT, SIGTERM; the console's control events on Windows), seen as a flag
// that a program's main loop polls instead of being killed mid-write.
#ifndef VELK_PLATFORM_INTERRUPT_H
#define VELK_PLATFORM_INTERRUPT_H

namespace platform {

// Installs the handler once; later calls do nothing. Returns false when the
// system refused it.
bool CatchInterrupts();

// True once an interrupt arrived after CatchInterrupts.
bool InterruptRequested();

}  // namespace platform

#endif
