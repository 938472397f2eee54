// SPDX-License-Identifier: MIT
// Any reply of the instrument, decoded by any record layout and journal flags against a device
// whose record types include value lists: rows, grouped view and value texts must come out
// without a crash or an out-of-range read.
#include "app/core/catalogue.h"
#include "app/core/journaldecoder.h"
#include "app/core/recordformat.h"
#include "app/core/stringgrid.h"
#include "app/core/timeformats.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::int32_t kTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 15, 16, 17, 18, 19, 256, -1};

// Layout of an input: 8 control bytes, the 256-byte reply (zero-filled when short), then a
// value-list text for the device's list types.
struct Input {
    std::uint8_t control[8] = {};
    std::array<std::uint8_t, core::kReplySize> reply{};
    QString listText;
};

Input split(const std::uint8_t* data, std::size_t size) {
    Input in;
    std::memcpy(in.control, data, std::min<std::size_t>(size, 8));
    if (size > 8)
        std::memcpy(in.reply.data(), data + 8, std::min<std::size_t>(size - 8, core::kReplySize));
    if (size > 8 + core::kReplySize)
        in.listText = QString::fromUtf8(reinterpret_cast<const char*>(data + 8 + core::kReplySize),
                                        qsizetype(size - 8 - core::kReplySize));
    return in;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8 + core::kReplySize + 4096)
        return 0;
    const Input in = split(data, size);
    const std::uint8_t* c = in.control;

    TDevInfo dev;
    dev.CountJournals = c[0] % (core::kMaxJournals + 1);
    for (int j = 0; j < core::kMaxJournals; ++j) {
        TJournalInfo& J = dev.Journal[std::size_t(j)];
        J.typedev = static_cast<TTypeDev>((c[1] + j) % 8); // also layouts that do not exist
        J.Cycle = c[2] & 1;
        J.DTIsWorkTime = c[2] & 2;
        J.StartTime = c[2] & 4;
        J.CountRec = (c[2] & 8) ? -1 : c[3];
        J.Num = j + 1;
    }
    // Record types whose IDs the reply is likely to carry (0, 1, 65535 and the byte values),
    // every data type, and value lists parsed from the input.
    for (int k = 0; k < 24; ++k) {
        const std::int32_t id =
            k < 3 ? std::array<int, 3>{0, 1, 65535}[std::size_t(k)] : (c[4] + k * 37) & 0xFFFF;
        const std::int32_t atype = kTypes[(c[5] + k) % std::size(kTypes)];
        if (atype == 256)
            core::AddListRecType(dev.ListRecType, id, QStringLiteral("list"), in.listText);
        else
            core::AddRecType(dev.ListRecType, id, atype, QStringLiteral("t%1").arg(k));
    }

    core::TStringGrid sg(2, 6);
    core::TStringGrid sgGr(2, 1);
    core::TJournalDecoder decoder(sg);
    decoder.setDevice(&dev);
    decoder.setJournalIndex(int(c[6] % 8) - 1);
    decoder.setStartRec(std::int32_t(c[7]) - 8);
    decoder.ClearGroupData(sgGr);

    const core::TReplyView reply(in.reply.data(), in.reply.size());
    // The same reply as several records of a run, by every decoder the run has.
    for (int i = 0; i < 3; ++i) {
        decoder.DecodeFixedReply(i, reply, int(c[7]) * (i + 1));
        decoder.DecodeTextRecord(i + 3, reply);
        decoder.DecodeModeRecord(i + 6, reply);
    }
    decoder.BuildGroupView(sgGr);
    (void)decoder.UnparsedTimeMessage();

    // Value texts of the raw words of the reply by every data type.
    const std::vector<TValueStr>* strs = nullptr;
    for (const TRecType& t : dev.ListRecType)
        if (t.Strs)
            strs = &*t.Strs;
    for (int off = 0; off + 4 <= core::kReplySize; off += 29)
        for (const std::int32_t atype : kTypes) {
            const auto v = core::FormatValue(atype, core::ReadBE32(reply, off), strs);
            if (v)
                (void)core::GroupValueText(atype, v->value);
        }
    const double t = core::UnixToDateTime(core::ReadBE32(reply, 2));
    for (int j = 0; j < core::kMaxJournals; ++j)
        (void)core::FormatRecordTime(t, &dev.Journal[std::size_t(j)]);
    (void)core::SplitMarloText(core::TextFromReply(reply));
    (void)core::SplitQuintText(core::TextFromReply(reply));
    return 0;
}
