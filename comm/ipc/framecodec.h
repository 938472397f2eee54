// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>

// Frames of the exchange-server connection: a 4-byte big-endian payload length followed by the
// payload, a QDataStream holding one list of values. Values are written with a tag per type, so
// that the automation element types (VT_UI1 = quint8, VT_UI2 = quint16, VT_I4 = qint32,
// VT_UI4 = quint32, VT_BOOL = bool, VT_DATE = QDateTime, strings = QString) come back exactly.
// Only this closed set of types travels; anything else is refused on both ends.
namespace comm::ipc {

// Largest payload either side accepts. A peer that announces more is cut off.
constexpr quint32 kMaxFramePayload = 1024 * 1024;
// Deepest nesting of lists inside a frame.
constexpr int kMaxNesting = 16;

// Encodes one message. Throws comm::ServerError when a value has a type that cannot travel.
[[nodiscard]] QByteArray encodeFrame(const QVariantList& message);

// True when the value (and every element of a list) has a type that can travel.
[[nodiscard]] bool isTransportable(const QVariant& value, QString* why = nullptr);

// Splits a byte stream into messages.
class FrameReader {
public:
    enum class Status { Message, NeedMore, Broken };

    void append(const QByteArray& bytes) { m_buffer.append(bytes); }
    // Takes the next complete message out of the buffer. Broken: the stream cannot be trusted
    // any more (oversized length, malformed payload); errorText() says why.
    [[nodiscard]] Status next(QVariantList& message);
    QString errorText() const { return m_error; }
    qsizetype buffered() const { return m_buffer.size(); }
    // Largest payload accepted (kMaxFramePayload unless set lower); a frame announcing more
    // breaks the stream as soon as its length has arrived.
    void setMaxPayload(quint32 bytes) { m_maxPayload = bytes; }
    quint32 maxPayload() const { return m_maxPayload; }

private:
    QByteArray m_buffer;
    QString m_error;
    quint32 m_maxPayload = kMaxFramePayload;
};

// Decodes one payload (without the length prefix); false when it is malformed.
[[nodiscard]] bool decodePayload(const QByteArray& payload, QVariantList& message,
                                 QString* why = nullptr);

} // namespace comm::ipc
