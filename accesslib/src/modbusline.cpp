// SPDX-License-Identifier: MIT
#include "modbusline.h"

#include "ombreldll.h"
#include "tcplink.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTcpSocket>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace ombrel {
namespace {

using namespace std::chrono;

// Wire time of n bytes at 10 bits a byte.
microseconds wireTime(int bytes, int baud) {
    return microseconds(baud > 0 ? 10LL * 1000000 * bytes / baud : 0);
}

void enableRs485(int fd) {
    serial_rs485 conf{};
    if (::ioctl(fd, TIOCGRS485, &conf) < 0)
        return; // the driver has no RS-485 mode (a pty, most USB adapters): go on as RS-232
    conf.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    conf.flags &= ~static_cast<decltype(conf.flags)>(SER_RS485_RTS_AFTER_SEND);
    ::ioctl(fd, TIOCSRS485, &conf);
}

} // namespace

OpenFailure classifyOpenFailure(const QString& devicePath, int portError) {
    const QByteArray path = QFile::encodeName(devicePath);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0 || portError == QSerialPort::DeviceNotFoundError)
        return OpenFailure::Missing;
    if (::access(path.constData(), R_OK | W_OK) != 0)
        return OpenFailure::NoAccess;
    // Access is granted, so a permission error comes from the port's lock file or its exclusive
    // mode: another program has the port open.
    if (portError == QSerialPort::PermissionError)
        return OpenFailure::Busy;
    return OpenFailure::Other;
}

QString noAccessText(const QString& devicePath, const QString& owner, const QString& group,
                     uint ownerId, uint groupId) {
    // Serial devices of Debian and its kin belong to the group dialout, which their users join;
    // any other group is the administrator's choice, so the text names who may use the device.
    if (group == u"dialout")
        return QStringLiteral("Нет доступа к %1 (отказано в доступе): пользователь не входит в "
                              "группу dialout. Добавьте его командой «sudo usermod -aG dialout "
                              "$USER» и войдите в систему заново.")
            .arg(devicePath);
    return QStringLiteral("Нет доступа к %1 (отказано в доступе): владелец устройства — %2, "
                          "группа — %3.")
        .arg(devicePath, owner.isEmpty() ? QString::number(ownerId) : owner,
             group.isEmpty() ? QString::number(groupId) : group);
}

QString openFailureText(OpenFailure failure, const QString& devicePath, const QString& systemText) {
    switch (failure) {
    case OpenFailure::Missing:
        return QStringLiteral("Устройство %1 не найдено (нет такого устройства).").arg(devicePath);
    case OpenFailure::NoAccess: {
        const QFileInfo device(devicePath);
        return noAccessText(devicePath, device.owner(), device.group(), device.ownerId(),
                            device.groupId());
    }
    case OpenFailure::Busy:
        return QStringLiteral("Порт %1 занят другой программой.").arg(devicePath);
    case OpenFailure::Other:
        break;
    }
    return QStringLiteral("%1: %2").arg(devicePath, systemText);
}

ModbusLine::ModbusLine() = default;

ModbusLine::~ModbusLine() {
    close();
}

bool ModbusLine::open(const QString& devicePath, int baud, bool rs485) {
    close();
    m_openError.clear();
    if (platform::isNetworkEndpoint(devicePath))
        return openEndpoint(devicePath);
    if (devicePath.isEmpty() || baud <= 0) {
        m_openError = devicePath.isEmpty() ? QStringLiteral("Не задано устройство порта.")
                                           : QStringLiteral("Недопустимая скорость %1.").arg(baud);
        return false;
    }
    if (!m_lock.acquire(devicePath, &m_openError))
        return false;
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(devicePath);
    if (!port->open(QIODevice::ReadWrite)) {
        m_openError = openFailureText(classifyOpenFailure(devicePath, port->error()), devicePath,
                                      port->errorString());
        m_lock.release();
        return false;
    }
    if (!port->setBaudRate(baud) || !port->setDataBits(QSerialPort::Data8) ||
        !port->setParity(QSerialPort::NoParity) || !port->setStopBits(QSerialPort::OneStop) ||
        !port->setFlowControl(QSerialPort::NoFlowControl)) {
        m_openError = QStringLiteral("%1: %2").arg(devicePath, port->errorString());
        port->close();
        m_lock.release();
        return false;
    }
    if (rs485)
        enableRs485(static_cast<int>(port->handle()));
    port->clear(QSerialPort::AllDirections);
    m_serial = port.get();
    m_port = std::move(port);
    m_baud = baud;
    m_lastActivity = Clock::now();
    return true;
}

bool ModbusLine::openEndpoint(const QString& text) {
    const auto endpoint = platform::parseNetworkEndpoint(text, &m_openError);
    if (!endpoint)
        return false;
    auto socket = connectEndpoint(*endpoint, m_connectLimit, &m_openError);
    if (!socket)
        return false;
    m_endpoint = endpoint;
    m_mbap = endpoint->framing == platform::NetworkEndpoint::Framing::ModbusTcp;
    m_socket = socket.get();
    m_port = std::move(socket);
    m_baud = 0; // no wire time of ours: frameTime() is its floor
    m_lastActivity = Clock::now();
    return true;
}

bool ModbusLine::reopen() {
    drop();
    if (!m_endpoint)
        return false;
    auto socket = connectEndpoint(*m_endpoint, m_connectLimit, nullptr);
    if (!socket)
        return false;
    m_socket = socket.get();
    m_port = std::move(socket);
    m_lastActivity = Clock::now();
    return true;
}

bool ModbusLine::openDevice(std::unique_ptr<QIODevice> device, int baud) {
    close();
    m_openError.clear();
    if (!device || !device->isOpen() || baud <= 0)
        return false;
    m_port = std::move(device);
    m_baud = baud;
    m_lastActivity = Clock::now();
    return true;
}

void ModbusLine::close() {
    drop();
    m_endpoint.reset();
    m_mbap = false;
}

void ModbusLine::drop() {
    m_serial = nullptr;
    m_socket = nullptr;
    if (m_port) {
        if (m_port->isOpen())
            m_port->close();
        m_port.reset();
    }
    m_lock.release();
}

bool ModbusLine::isOpen() const {
    return m_port && m_port->isOpen();
}

int ModbusLine::link() const {
    return !m_endpoint ? OMBREL_LINK_SERIAL
           : m_mbap    ? OMBREL_LINK_MODBUS_TCP
                       : OMBREL_LINK_RTU_OVER_TCP;
}

ModbusLine::Clock::duration ModbusLine::frameTime() const {
    return std::max<Clock::duration>(wireTime(260, m_baud), milliseconds(20));
}

bool ModbusLine::failed() {
    if (!m_port)
        return true;
    if (m_socket) {
        // A time-out of a wait leaves the connection as it was; the other end closing it, or
        // any failure of it, ends it.
        if (m_socket->state() == QAbstractSocket::ConnectedState && m_port->isOpen())
            return false;
        drop();
        return true;
    }
    if (!m_serial) {
        if (m_port->isOpen())
            return false;
        drop();
        return true;
    }
    const QSerialPort::SerialPortError e = m_serial->error();
    if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError) {
        m_serial->clearError();
        return !m_port->isOpen();
    }
    // A device that has gone (a USB adapter pulled, the other end of a pty closed) or any other
    // I/O failure: the port is closed, and every later call answers "port closed" until the next
    // open.
    drop();
    return true;
}

bool ModbusLine::send(const QByteArray& frame) {
    const int writeMs = 1000 + static_cast<int>(wireTime(frame.size(), m_baud).count() / 1000);
    if (m_port->write(frame) != frame.size() || !m_port->waitForBytesWritten(writeMs)) {
        failed();
        drop();
        return false;
    }
    return true;
}

bool ModbusLine::readSome(int timeoutMs, QByteArray* chunk) {
    chunk->clear();
    if (!m_port->waitForReadyRead(timeoutMs)) {
        failed();
        return false;
    }
    *chunk = m_port->readAll();
    if (chunk->isEmpty())
        return !failed();
    m_lastActivity = Clock::now();
    return true;
}

QByteArray ModbusLine::readBuffered() {
    return m_port ? m_port->readAll() : QByteArray();
}

qint64 ModbusLine::bytesAvailable() const {
    return m_port ? m_port->bytesAvailable() : 0;
}

} // namespace ombrel
