#pragma once

#include <QTcpSocket>
#include <QtGlobal>

// Types keys into a program started with QT_QPA_PLATFORM=vnc:port=<port>, as a person at its screen would,
// for example to answer a message box. A minimal RFB 3.3 client without authentication that sends key
// events only and connects to 127.0.0.1.
class VncKeyboard
{
public:
    static constexpr quint32 kReturn = 0xff0d; // X11 key symbol

    // A port that was free a moment ago, for the program's VNC server.
    static quint16 freePort();

    // Connects and completes the handshake; retries until the program listens or timeoutMs has passed.
    bool connectTo(quint16 port, int timeoutMs = 30000);
    // Key down and key up. False when the connection is gone (the program has ended).
    bool press(quint32 keysym);

private:
    bool readExactly(qint64 size, QByteArray *out, int timeoutMs);

    QTcpSocket m_socket;
};
