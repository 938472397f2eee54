// SPDX-License-Identifier: MIT
#include "comm/ipc/framecodec.h"

#include "comm/ipc/servererror.h"

#include <QDataStream>
#include <QDateTime>
#include <QIODevice>
#include <QtEndian>

namespace comm::ipc {

namespace {

enum Tag : quint8 {
    tagInvalid = 0,
    tagBool = 1,
    tagUInt8 = 2,
    tagInt8 = 3,
    tagUInt16 = 4,
    tagInt16 = 5,
    tagInt32 = 6,
    tagUInt32 = 7,
    tagInt64 = 8,
    tagUInt64 = 9,
    tagFloat = 10,
    tagDouble = 11,
    tagString = 12,
    tagDateTime = 13,
    tagBytes = 14,
    tagList = 15,
};

constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_6_4;

bool tagOf(const QVariant& v, Tag& tag) {
    switch (v.metaType().id()) {
    case QMetaType::UnknownType:
        tag = tagInvalid;
        return true;
    case QMetaType::Bool:
        tag = tagBool;
        return true;
    case QMetaType::UChar:
        tag = tagUInt8;
        return true;
    case QMetaType::SChar:
    case QMetaType::Char:
        tag = tagInt8;
        return true;
    case QMetaType::UShort:
        tag = tagUInt16;
        return true;
    case QMetaType::Short:
        tag = tagInt16;
        return true;
    case QMetaType::Int:
        tag = tagInt32;
        return true;
    case QMetaType::UInt:
        tag = tagUInt32;
        return true;
    case QMetaType::LongLong:
        tag = tagInt64;
        return true;
    case QMetaType::ULongLong:
        tag = tagUInt64;
        return true;
    case QMetaType::Float:
        tag = tagFloat;
        return true;
    case QMetaType::Double:
        tag = tagDouble;
        return true;
    case QMetaType::QString:
        tag = tagString;
        return true;
    case QMetaType::QDateTime:
        tag = tagDateTime;
        return true;
    case QMetaType::QByteArray:
        tag = tagBytes;
        return true;
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        tag = tagList;
        return true;
    default:
        return false;
    }
}

bool writeValue(QDataStream& out, const QVariant& v, int depth, QString* why) {
    Tag tag;
    if (!tagOf(v, tag)) {
        if (why)
            *why = QStringLiteral("value of type %1 cannot be sent")
                       .arg(QString::fromLatin1(v.metaType().name()));
        return false;
    }
    out << quint8(tag);
    switch (tag) {
    case tagInvalid:
        break;
    case tagBool:
        out << v.toBool();
        break;
    case tagUInt8:
        out << v.value<quint8>();
        break;
    case tagInt8:
        out << v.value<qint8>();
        break;
    case tagUInt16:
        out << v.value<quint16>();
        break;
    case tagInt16:
        out << v.value<qint16>();
        break;
    case tagInt32:
        out << v.value<qint32>();
        break;
    case tagUInt32:
        out << v.value<quint32>();
        break;
    case tagInt64:
        out << v.value<qint64>();
        break;
    case tagUInt64:
        out << v.value<quint64>();
        break;
    case tagFloat:
        out << v.value<float>();
        break;
    case tagDouble:
        out << v.toDouble();
        break;
    case tagString:
        out << v.toString();
        break;
    case tagDateTime:
        out << v.toDateTime();
        break;
    case tagBytes:
        out << v.toByteArray();
        break;
    case tagList: {
        if (depth >= kMaxNesting) {
            if (why)
                *why = QStringLiteral("lists nested too deeply");
            return false;
        }
        const QVariantList list = v.toList();
        out << quint32(list.size());
        for (const QVariant& e : list)
            if (!writeValue(out, e, depth + 1, why))
                return false;
        break;
    }
    }
    return true;
}

template <typename T> bool readScalar(QDataStream& in, QVariant& v) {
    T x{};
    in >> x;
    v = QVariant::fromValue(x);
    return in.status() == QDataStream::Ok;
}

bool readValue(QDataStream& in, QVariant& v, int depth) {
    quint8 tag = 0;
    in >> tag;
    if (in.status() != QDataStream::Ok)
        return false;
    switch (tag) {
    case tagInvalid:
        v = QVariant();
        return true;
    case tagBool:
        return readScalar<bool>(in, v);
    case tagUInt8:
        return readScalar<quint8>(in, v);
    case tagInt8:
        return readScalar<qint8>(in, v);
    case tagUInt16:
        return readScalar<quint16>(in, v);
    case tagInt16:
        return readScalar<qint16>(in, v);
    case tagInt32:
        return readScalar<qint32>(in, v);
    case tagUInt32:
        return readScalar<quint32>(in, v);
    case tagInt64:
        return readScalar<qint64>(in, v);
    case tagUInt64:
        return readScalar<quint64>(in, v);
    case tagFloat:
        return readScalar<float>(in, v);
    case tagDouble:
        return readScalar<double>(in, v);
    case tagString:
        return readScalar<QString>(in, v);
    case tagDateTime:
        return readScalar<QDateTime>(in, v);
    case tagBytes:
        return readScalar<QByteArray>(in, v);
    case tagList: {
        if (depth >= kMaxNesting)
            return false;
        quint32 count = 0;
        in >> count;
        if (in.status() != QDataStream::Ok)
            return false;
        // Every element takes at least its tag byte: a count beyond the rest of the payload is
        // a lie, refuse it before reserving anything.
        const qint64 left = in.device()->bytesAvailable();
        if (qint64(count) > left)
            return false;
        QVariantList list;
        list.reserve(count);
        for (quint32 i = 0; i < count; ++i) {
            QVariant e;
            if (!readValue(in, e, depth + 1))
                return false;
            list.append(e);
        }
        v = list;
        return true;
    }
    default:
        return false;
    }
}

} // namespace

bool isTransportable(const QVariant& value, QString* why) {
    QByteArray scratch;
    QDataStream out(&scratch, QIODevice::WriteOnly);
    out.setVersion(kStreamVersion);
    return writeValue(out, value, 0, why);
}

QByteArray encodeFrame(const QVariantList& message) {
    QByteArray frame(4, '\0');
    {
        QDataStream out(&frame, QIODevice::WriteOnly | QIODevice::Append);
        out.setVersion(kStreamVersion);
        QString why;
        if (!writeValue(out, QVariant(message), 0, &why))
            throw ServerError(why);
    }
    const qsizetype payload = frame.size() - 4;
    if (payload > qsizetype(kMaxFramePayload))
        throw ServerError(QStringLiteral("message too large (%1 bytes)").arg(payload));
    qToBigEndian<quint32>(quint32(payload), frame.data());
    return frame;
}

bool decodePayload(const QByteArray& payload, QVariantList& message, QString* why) {
    QDataStream in(payload);
    in.setVersion(kStreamVersion);
    QVariant v;
    if (!readValue(in, v, 0) || v.metaType().id() != QMetaType::QVariantList) {
        if (why)
            *why = QStringLiteral("malformed message");
        return false;
    }
    if (!in.atEnd()) {
        if (why)
            *why = QStringLiteral("trailing bytes after the message");
        return false;
    }
    message = v.toList();
    return true;
}

FrameReader::Status FrameReader::next(QVariantList& message) {
    if (m_buffer.size() < 4)
        return Status::NeedMore;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData());
    if (length > m_maxPayload) {
        m_error = QStringLiteral("frame of %1 bytes exceeds the limit").arg(length);
        return Status::Broken;
    }
    if (m_buffer.size() < qsizetype(4 + length))
        return Status::NeedMore;
    const QByteArray payload = m_buffer.mid(4, length);
    m_buffer.remove(0, 4 + length);
    if (!decodePayload(payload, message, &m_error))
        return Status::Broken;
    return Status::Message;
}

} // namespace comm::ipc
