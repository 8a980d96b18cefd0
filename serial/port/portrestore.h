#pragma once

struct termios;

// A process-wide record of the ports this process has open and the settings each had before,
// so that they are put back however the process ends: by exit() from anywhere (Qt's X11
// plugin calls exit(1) when the display connection breaks; static destructors never run the
// ports' own close), or by a fatal signal (SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL), after
// which the signal takes its course as it would have. Only SIGKILL and a power cut escape it.
//
// The record is a fixed table, so that it can be read from a signal handler, and putting the
// settings back uses only calls that are safe there. The first remember() installs the exit
// and signal handlers.
namespace PortRestore {

// Keeps `saved` for the open descriptor `fd`. False when the table is full: the port works
// all the same, without the safety net.
bool remember(int fd, const termios &saved);
// Drops the entry of `fd`; called when the port is closed normally, before its descriptor is.
void forget(int fd);
// Puts back the saved settings of every remembered port and gives up the exclusive claim on
// it. Safe to call from a signal handler.
void restoreAll();

} // namespace PortRestore
