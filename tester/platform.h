#pragma once

#include "feedback.h"
#include "testercore.h"

#include <QObject>

#include <memory>

// What the program's entry needs of the system it runs on; one file per system.
namespace Platform {

// Whether the program can show its window here; where not, it has said why on stderr.
bool displayAvailable();
// Gives the controls the look the window is designed and tested in, where the system's own
// would be another: Fusion, the look Qt gives Linux desktops without a style of their own.
void setLook();
// Makes the system's requests to end (Unix signals) quit the event loop, so that the window
// closes the port the normal way; null where they already reach the window as a close.
std::unique_ptr<QObject> quitOnRequest();
// The window's logic on the system's serial ports, watching them come and go and describing
// each for the connection's tooltip.
std::unique_ptr<TesterCore> testerOnSystemPorts(std::unique_ptr<Feedback> feedback);

} // namespace Platform
