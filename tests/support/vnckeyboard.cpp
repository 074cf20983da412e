#include "vnckeyboard.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QThread>
#include <QtEndian>

quint16 VncKeyboard::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool VncKeyboard::readExactly(qint64 size, QByteArray *out, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    out->clear();
    while (out->size() < size) {
        if (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(int(deadline.remainingTime())))
            return false;
        out->append(m_socket.read(size - out->size()));
    }
    return true;
}

bool VncKeyboard::connectTo(quint16 port, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        if (m_socket.waitForConnected(1000))
            break;
        m_socket.abort();
        if (deadline.hasExpired())
            return false;
        // The program opens its server only once its application object exists: back off between attempts.
        QThread::msleep(50);
    }
    QByteArray bytes;
    const int stepMs = 10000;
    if (!readExactly(12, &bytes, stepMs) || !bytes.startsWith("RFB "))
        return false;
    m_socket.write("RFB 003.003\n");
    // Security type: 1, none.
    if (!readExactly(4, &bytes, stepMs) || qFromBigEndian<quint32>(bytes.constData()) != 1)
        return false;
    m_socket.write("\x01", 1); // shared session
    // Server init: size, pixel format, then the length of the desktop's name and the name.
    if (!readExactly(24, &bytes, stepMs))
        return false;
    const quint32 nameLength = qFromBigEndian<quint32>(bytes.constData() + 20);
    if (nameLength > 4096 || !readExactly(nameLength, &bytes, stepMs))
        return false;
    return m_socket.waitForBytesWritten(stepMs) || m_socket.bytesToWrite() == 0;
}

bool VncKeyboard::press(quint32 keysym)
{
    if (m_socket.state() != QAbstractSocket::ConnectedState)
        return false;
    for (const char down : {'\x01', '\x00'}) {
        QByteArray event(8, '\0');
        event[0] = 4; // key event
        event[1] = down;
        qToBigEndian<quint32>(keysym, event.data() + 4);
        if (m_socket.write(event) != event.size())
            return false;
    }
    return m_socket.waitForBytesWritten(1000) || m_socket.bytesToWrite() == 0;
}
