// The flattened file stream and the resume record: exact bytes, any slicing, resumes, damaged
// input and the 32-bit size rule.
#include "fs/flat_file.h"

#include <gtest/gtest.h>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "fs/fs_test_dir.h"

namespace kx {
namespace {

using test::Bytes;
using test::CScratchDir;
using test::ErrorOf;

void Append(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& more) {
    out.insert(out.end(), more.begin(), more.end());
}

std::vector<std::uint8_t> ForkHeader(const char* type, std::uint32_t size, std::uint32_t comp = 0) {
    auto h = Bytes(std::string(type, 4));
    for (std::uint32_t v : {comp, 0u, size}) AppendBE32(h, v);
    return h;
}

std::vector<std::uint8_t> FileHeader(std::uint16_t version = 1) {
    auto h = Bytes("FILP");
    AppendBE16(h, version);
    h.resize(22, 0);
    Append(h, Bytes({0, 2}));
    return h;
}

class FlatFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.MakeDir("Files");
        root = UFileSys::NewFromPath(dir / "Files");
    }

    TFSRef Ref(const std::string& name) { return UFileSys::New(*root, "", name, 0); }

    // The whole stream, produced in slices of `slice` bytes.
    std::vector<std::uint8_t> Drain(TFSRefObj& ref, std::size_t slice) {
        std::vector<std::uint8_t> out, buf(slice);
        while (std::size_t n = UFileSys::ProcessFlatten(ref, buf.data(), buf.size()))
            out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
        return out;
    }

    // Unflattens `stream` into a new empty file, feeding it in slices of `slice` bytes.
    std::string Receive(const std::string& name, const std::vector<std::uint8_t>& stream, std::size_t slice) {
        auto ref = Ref(name);
        UFileSys::CreateFile(*ref);
        UFileSys::StartUnflatten(*ref);
        for (std::size_t pos = 0; pos < stream.size(); pos += slice)
            UFileSys::ProcessUnflatten(*ref, stream.data() + pos, std::min(slice, stream.size() - pos));
        UFileSys::ProcessUnflatten(*ref, nullptr, 0);
        UFileSys::StopUnflatten(*ref);
        return dir.Read("Files/" + name);
    }

    CScratchDir dir;
    TFSRef root;
};

TEST_F(FlatFileTest, FlattenedFileIsByteExact) {
    dir.WriteFile("Files/notes.txt", "hello");
    auto ref = Ref("notes.txt");
    UFileSys::StartFlatten(*ref);
    // 24 + 16 + (74 + 9) + 16 + 5: the file's length plus 130 plus the name's.
    EXPECT_EQ(UFileSys::GetFlattenSize(*ref), 5u + 130u + 9u);

    auto expected = FileHeader();
    Append(expected, ForkHeader("INFO", 83));
    Append(expected, Bytes("MWINTEXTttxt"));
    expected.resize(expected.size() + 4 + 4 + 32 + 8 + 8 + 2, 0);  // flags, platFlags, rsvd, dates, script
    Append(expected, Bytes({0, 9}));
    Append(expected, Bytes("notes.txt"));
    Append(expected, Bytes({0, 0}));  // comment size
    Append(expected, ForkHeader("DATA", 5));
    Append(expected, Bytes("hello"));
    ASSERT_EQ(expected.size(), 144u);
    EXPECT_EQ(Drain(*ref, 4096), expected);
    EXPECT_EQ(UFileSys::ProcessFlatten(*ref, nullptr, 0), 0u);

    // Any slice size gives the same stream.
    for (std::size_t slice : {1u, 2u, 7u, 16u, 23u, 100u}) {
        UFileSys::StartFlatten(*ref);
        EXPECT_EQ(Drain(*ref, slice), expected) << slice;
    }
}

TEST_F(FlatFileTest, EmptyFilesAndLongNames) {
    dir.WriteFile("Files/empty", "");
    auto empty = Ref("empty");
    UFileSys::StartFlatten(*empty);
    const auto stream = Drain(*empty, 64);
    ASSERT_EQ(stream.size(), 24u + 16u + 74u + 5u + 16u);
    EXPECT_EQ(std::vector<std::uint8_t>(stream.end() - 16, stream.end()), ForkHeader("DATA", 0));

    const std::string longName(80, 'x');
    dir.WriteFile("Files/" + longName, "z");
    auto ref = Ref(longName);
    UFileSys::StartFlatten(*ref);
    EXPECT_EQ(UFileSys::GetFlattenSize(*ref), 1u + 130u + 63u);
    const auto s = Drain(*ref, 1000);
    EXPECT_EQ(s[40 + 70], 0);
    EXPECT_EQ(s[40 + 71], 63);
    EXPECT_EQ(std::string(s.begin() + 40 + 72, s.begin() + 40 + 72 + 63), std::string(63, 'x'));
}

TEST_F(FlatFileTest, ResumeRecordsAreExact) {
    auto expected = Bytes("RFLT");
    Append(expected, Bytes({0, 1}));
    expected.resize(40, 0);
    Append(expected, Bytes({0, 1}));
    Append(expected, Bytes("DATA"));
    Append(expected, Bytes({0x00, 0x01, 0x11, 0x70, 0, 0, 0, 0, 0, 0, 0, 0}));  // 70000
    EXPECT_EQ(UFlatFile::MakeResumeData(70000), expected);
    EXPECT_EQ(UFlatFile::ReadResumeData(expected.data(), expected.size()), 70000u);

    auto bad = expected;
    EXPECT_EQ(ErrorOf([&] { UFlatFile::ReadResumeData(bad.data(), 41); }), std::make_pair(1, 2));
    bad[0] = 'X';
    EXPECT_EQ(ErrorOf([&] { UFlatFile::ReadResumeData(bad.data(), bad.size()); }), std::make_pair(1, 7));
    bad = expected;
    bad[5] = 2;
    EXPECT_EQ(ErrorOf([&] { UFlatFile::ReadResumeData(bad.data(), bad.size()); }), std::make_pair(1, 8));
    // A count that lies: only the entries inside the record are read.
    bad = expected;
    bad[41] = 200;
    EXPECT_EQ(UFlatFile::ReadResumeData(bad.data(), bad.size()), 70000u);
    EXPECT_EQ(UFlatFile::ReadResumeData(bad.data(), 57), std::nullopt);
    // Entries of other forks are ignored.
    bad = expected;
    bad[42] = 'I';
    EXPECT_EQ(UFlatFile::ReadResumeData(bad.data(), bad.size()), std::nullopt);
}

TEST_F(FlatFileTest, ResumedFlattenSendsTheRest) {
    std::string content;
    for (int i = 0; i < 5000; ++i) content += static_cast<char>('a' + i % 26);
    dir.WriteFile("Files/f.bin", content);
    auto ref = Ref("f.bin");
    auto record = UFlatFile::MakeResumeData(1000);
    UFileSys::ResumeFlatten(*ref, record.data(), record.size());
    EXPECT_EQ(UFileSys::GetFlattenSize(*ref), 4000u + 130u + 5u);
    const auto stream = Drain(*ref, 333);
    const std::size_t dataStart = 24 + 16 + 79;
    EXPECT_EQ(std::vector<std::uint8_t>(stream.begin() + dataStart, stream.begin() + dataStart + 16),
              ForkHeader("DATA", 4000));
    EXPECT_EQ(std::string(stream.begin() + dataStart + 16, stream.end()), content.substr(1000));

    record = UFlatFile::MakeResumeData(5000);
    UFileSys::ResumeFlatten(*ref, record.data(), record.size());
    EXPECT_EQ(UFileSys::GetFlattenSize(*ref), 130u + 5u);
    EXPECT_EQ(ErrorOf([&] { UFileSys::ResumeFlatten(*ref, record.data(), 41); }), std::make_pair(1, 2));
}

TEST_F(FlatFileTest, UnflattenAcceptsAnySplit) {
    std::string content;
    for (int i = 0; i < 3000; ++i) content += static_cast<char>(i * 7);
    dir.WriteFile("Files/src.bin", content);
    auto src = Ref("src.bin");
    UFileSys::StartFlatten(*src);
    const auto stream = Drain(*src, 512);

    EXPECT_EQ(Receive("whole.kpf", stream, stream.size()), content);
    EXPECT_EQ(Receive("bytes.kpf", stream, 1), content);
    EXPECT_EQ(Receive("odd.kpf", stream, 13), content);
}

TEST_F(FlatFileTest, UnflattenWritesOnlyTheDataFork) {
    auto stream = FileHeader();
    Append(stream, ForkHeader("INFO", 1000));  // longer than what is kept
    stream.resize(stream.size() + 1000, 'i');
    Append(stream, ForkHeader("MACR", 4));
    Append(stream, Bytes("rsrc"));
    Append(stream, ForkHeader("DATA", 3));
    Append(stream, Bytes("abc"));
    EXPECT_EQ(Receive("one.kpf", stream, 1), "abc");

    auto ref = Ref("two.kpf");
    UFileSys::CreateFile(*ref);
    UFileSys::StartUnflatten(*ref);
    UFileSys::ProcessUnflatten(*ref, stream.data(), stream.size());
    const SFileUnflatten& u = *ref->GetUnflatten();
    EXPECT_TRUE(u.gotInfoData);
    EXPECT_EQ(u.infoSize, kFlatInfoKeepMax);
    EXPECT_TRUE(u.IsBetweenForks());
}

TEST_F(FlatFileTest, DamagedStreamsAreRefused) {
    auto good = FileHeader();
    Append(good, ForkHeader("DATA", 3));
    Append(good, Bytes("abc"));

    auto expectRefused = [&](std::vector<std::uint8_t> stream, std::pair<int, int> error, std::size_t slice) {
        auto ref = Ref("bad.kpf");
        if (!dir.Exists("Files/bad.kpf")) UFileSys::CreateFile(*ref);
        UFileSys::StartUnflatten(*ref);
        std::pair<int, int> got{0, 0};
        for (std::size_t pos = 0; pos < stream.size() && got.first == 0; pos += slice)
            got = ErrorOf([&] { UFileSys::ProcessUnflatten(*ref, stream.data() + pos, std::min(slice, stream.size() - pos)); });
        EXPECT_EQ(got, error);
        // Once refused, it stays refused.
        EXPECT_EQ(ErrorOf([&] { UFileSys::ProcessUnflatten(*ref, good.data(), good.size()); }), std::make_pair(1, 7));
    };
    auto wrongMagic = good;
    wrongMagic[3] = 'X';
    auto wrongVersion = good;
    wrongVersion[5] = 2;
    auto compressed = FileHeader();
    Append(compressed, ForkHeader("DATA", 3, 1));
    Append(compressed, Bytes("abc"));
    for (std::size_t slice : {1u, 5u, 100u}) {
        expectRefused(wrongMagic, {1, 7}, slice);
        expectRefused(wrongVersion, {1, 8}, slice);
        expectRefused(compressed, {1, 7}, slice);
    }
    EXPECT_EQ(dir.Read("Files/bad.kpf"), "");

    // Unflattening needs a started run.
    auto idle = Ref("idle");
    EXPECT_EQ(ErrorOf([&] { UFileSys::ProcessUnflatten(*idle, good.data(), good.size()); }), std::make_pair(1, 2));
}

TEST_F(FlatFileTest, ResumedUnflattenAppendsAndRefusesAFileInUse) {
    dir.WriteFile("Files/Report.doc.kpf", std::string(70000, 'p'));
    auto ref = Ref("Report.doc.kpf");
    const auto record = UFileSys::ResumeUnflatten(*ref);
    EXPECT_EQ(record, UFlatFile::MakeResumeData(70000));
    EXPECT_EQ(record.size(), 58u);

    // A second run on the same file while the first is open: in use.
    auto other = Ref("Report.doc.kpf");
    EXPECT_EQ(ErrorOf([&] { UFileSys::ResumeUnflatten(*other); }), std::make_pair(4, 116));

    auto stream = FileHeader();
    Append(stream, ForkHeader("DATA", 2));
    Append(stream, Bytes("XY"));
    UFileSys::ProcessUnflatten(*ref, stream.data(), stream.size());
    UFileSys::StopUnflatten(*ref);
    EXPECT_EQ(dir.Read("Files/Report.doc.kpf"), std::string(70000, 'p') + "XY");
    UFileSys::StartUnflatten(*other);  // free again
}

TEST_F(FlatFileTest, StreamsThatDoNotFit32BitsAreRefused) {
    auto makeSparse = [&](const std::string& name, std::uint64_t size) {
        const int fd = ::open((dir / ("Files/" + name)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        ::close(fd);
    };
    makeSparse("huge.iso", 4ull << 30);
    auto huge = Ref("huge.iso");
    EXPECT_EQ(ErrorOf([&] { UFileSys::StartFlatten(*huge); }), std::make_pair(1, 10));
    EXPECT_EQ(huge->GetFlatten(), nullptr);
    // The file fits in 32 bits, its stream does not.
    makeSparse("edge.iso", 0xFFFFFFFFull - 100);
    auto edge = Ref("edge.iso");
    EXPECT_EQ(ErrorOf([&] { UFileSys::StartFlatten(*edge); }), std::make_pair(1, 10));
    // A partial file that reached 4 GiB cannot be resumed.
    makeSparse("huge.kpf", 4ull << 30);
    auto partial = Ref("huge.kpf");
    EXPECT_EQ(ErrorOf([&] { UFileSys::ResumeUnflatten(*partial); }), std::make_pair(1, 10));
}

TEST_F(FlatFileTest, AFileThatShrinksWhileSentIsAnError) {
    dir.WriteFile("Files/shrink.bin", std::string(1000, 's'));
    auto ref = Ref("shrink.bin");
    UFileSys::StartFlatten(*ref);
    std::vector<std::uint8_t> buf(200);
    UFileSys::ProcessFlatten(*ref, buf.data(), buf.size());
    ASSERT_EQ(::truncate((dir / "Files/shrink.bin").c_str(), 10), 0);
    EXPECT_EQ(ErrorOf([&] { while (UFileSys::ProcessFlatten(*ref, buf.data(), buf.size())) {} }),
              std::make_pair(4, 106));
}

}  // namespace
}  // namespace kx
