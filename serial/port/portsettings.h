#pragma once

struct termios;

// The settings a port is given for receiving: 9600 baud 8N1, raw, with received bytes marked
// (PARMRK) so that breaks and garbled characters become visible in the data; everything else
// is kept from `current`.
void makeReceiveSettings(termios &current);
// Whether the driver took them (a driver may refuse the speed or the character size).
bool hasReceiveSettings(const termios &applied);
