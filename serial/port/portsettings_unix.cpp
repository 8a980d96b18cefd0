#include "portsettings.h"

#include <termios.h>

void makeReceiveSettings(termios &raw)
{
    // Marks make breaks and garbled characters visible in the data; nothing else of the byte
    // stream is interpreted.
    raw.c_iflag = INPCK | PARMRK;
    raw.c_oflag = 0;
    raw.c_lflag = 0;
    raw.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    raw.c_cflag |= CS8 | CREAD | CLOCAL;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
}

bool hasReceiveSettings(const termios &applied)
{
    return cfgetispeed(&applied) == B9600 && cfgetospeed(&applied) == B9600
           && (applied.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) == CS8
           && (applied.c_iflag & (INPCK | PARMRK | IGNPAR | ISTRIP | IXON | IXOFF))
                  == (INPCK | PARMRK)
           && (applied.c_lflag & ICANON) == 0;
}
