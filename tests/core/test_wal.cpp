#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "wal.hpp"

namespace kestrix::wal {

struct LogTestAccess {
    // Puts another descriptor under the log, so that its writes and flushes fail.
    static void replace_file(Log& log, int fd) { log.file_.reset(fd); }
    static std::mutex& mutex(Log& log) { return log.mutex_; }
    static std::condition_variable& flushed(Log& log) { return log.flushed_; }
};

namespace {

namespace fs = std::filesystem;
using F = Finding::Kind;

std::vector<std::byte> payload_of(std::uint64_t seq) {
    std::vector<std::byte> out(100 + 37 * (seq % 5));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::byte>(seq * 31 + i);
    return out;
}

std::vector<std::byte> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> chars((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::byte> out(chars.size());
    std::memcpy(out.data(), chars.data(), chars.size());
    return out;
}

void write_file(const std::string& path, const std::vector<std::byte>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string fresh_folder() {
    std::random_device seed;
    for (;;) {
        const auto folder = fs::temp_directory_path() / ("kestrix-wal-" + std::to_string(seed()));
        if (fs::create_directory(folder)) return folder.generic_string();
    }
}

std::uint64_t append(Log& log, std::uint32_t kind, std::span<const std::byte> payload) {
    const std::span<const std::byte> parts[] = {payload};
    const auto seq = log.append_durable(kind, parts);
    EXPECT_TRUE(seq.has_value());
    return seq.value_or(0);
}

struct Handed {
    std::vector<std::uint64_t> seqs;
    std::vector<std::vector<std::byte>> payloads;
};

std::expected<Recovery, LogError> recover_all(const std::string& path, const RecoverOptions& options, Handed& out) {
    return recover(path, options, [&](const RecordView& r) {
        out.seqs.push_back(r.seq);
        out.payloads.emplace_back(r.payload.begin(), r.payload.end());
        return true;
    });
}

// A log continuing record 10, holding records 11 to 16 of different lengths.
struct Sample {
    std::string folder = fresh_folder();
    std::string path = folder + "/sample.log";
    std::vector<std::byte> file;
    std::vector<std::size_t> starts;  // where each record begins, and the file's end last

    Sample() {
        const std::byte meta[] = {std::byte{'m'}, std::byte{'e'}};
        auto log = Log::create(path, "test", 10, meta);
        EXPECT_TRUE(log.has_value());
        starts.push_back(HEADER_BYTES + sizeof meta);
        for (std::uint64_t seq = 11; seq <= 16; ++seq) {
            EXPECT_EQ(append(**log, static_cast<std::uint32_t>(seq % 3), payload_of(seq)), seq);
            starts.push_back(starts.back() + RECORD_HEADER_BYTES + payload_of(seq).size());
        }
        file = read_file(path);
        EXPECT_EQ(file.size(), starts.back());
    }
    ~Sample() { fs::remove_all(folder); }
    std::size_t at(std::uint64_t seq) const { return starts[seq - 11]; }
};

TEST(Log, RecordsComeBackInOrderAndTheLogResumesAfterThem) {
    Sample s;
    RecoverOptions options{"test", std::nullopt};
    auto reader = LogReader::open(s.path, options);
    ASSERT_TRUE(reader.has_value());
    for (std::uint64_t seq = 11; seq <= 16; ++seq) {
        const auto record = reader->next();
        ASSERT_TRUE(record.has_value() && record->has_value());
        EXPECT_EQ((*record)->seq, seq);
        EXPECT_EQ((*record)->kind, seq % 3);
        const auto want = payload_of(seq);
        EXPECT_TRUE(std::equal((*record)->payload.begin(), (*record)->payload.end(), want.begin(), want.end()));
    }
    ASSERT_FALSE(reader->next()->has_value());
    ASSERT_TRUE(reader->settle().has_value());
    const Recovery& report = reader->report();
    EXPECT_TRUE(report.intact() && report.resumable());
    EXPECT_EQ(report.header.base, 10u);
    EXPECT_EQ(report.header.tag, "test");
    EXPECT_EQ(report.header.meta.size(), 2u);
    EXPECT_EQ(report.next_seq, 17u);

    // Appended after the last record, a payload in parts and one larger than a read window.
    auto log = Log::resume(*reader);
    ASSERT_TRUE(log.has_value());
    const std::vector<std::byte> big(3 << 20, std::byte{7});
    const auto first = payload_of(17);
    const std::span<const std::byte> parts[] = {first, {}, big};
    EXPECT_EQ((*log)->append_durable(1, parts), 17u);
    EXPECT_EQ((*log)->append_durable(2, {}), 18u);
    (*log)->close();
    EXPECT_EQ((*log)->append(1, parts).error().kind, LogError::Kind::Closed);

    Handed handed;
    const auto again = recover_all(s.path, options, handed);
    ASSERT_TRUE(again.has_value() && again->intact());
    ASSERT_EQ(handed.seqs, (std::vector<std::uint64_t>{11, 12, 13, 14, 15, 16, 17, 18}));
    EXPECT_EQ(handed.payloads[6].size(), first.size() + big.size());
    EXPECT_TRUE(std::equal(first.begin(), first.end(), handed.payloads[6].begin()));
    EXPECT_TRUE(handed.payloads[7].empty());
}

// What a damaged, cut or misplaced log gives, and what becomes of the file.
struct DamageCase {
    const char* name;
    std::function<void(Sample&, RecoverOptions&)> damage;
    std::vector<std::uint64_t> handed;
    std::vector<RecordRange> lost;
    std::vector<F> findings;
    bool aside = false;
    std::optional<LogError::Kind> refused = std::nullopt;
};

void cut(Sample& s, std::size_t length) { s.file.resize(length); }
void flip(Sample& s, std::size_t at) { s.file[at] ^= std::byte{0x10}; }

const std::vector<std::uint64_t> ALL = {11, 12, 13, 14, 15, 16};
const std::vector<std::uint64_t> TO_15 = {11, 12, 13, 14, 15};
const std::vector<std::uint64_t> NO_13 = {11, 12, 14, 15, 16};

const DamageCase DAMAGE_CASES[] = {
    {"Intact", [](Sample&, RecoverOptions&) {}, ALL, {}, {}},
    {"TornTail", [](Sample& s, RecoverOptions&) { cut(s, s.at(16) + 70); }, TO_15, {}, {F::TornTail}},
    {"TornRecordHeader", [](Sample& s, RecoverOptions&) { cut(s, s.at(16) + 9); }, TO_15, {}, {F::TornTail}},
    {"ZeroTail", [](Sample& s, RecoverOptions&) { s.file.resize(s.file.size() + 8192); }, ALL, {}, {F::TornTail}},
    {"TornTailOfRecordsKnownAcknowledged",
     [](Sample& s, RecoverOptions& o) {
         cut(s, s.at(16) + 70);
         o.acknowledged = 16;
     },
     TO_15,
     {{16, 16}},
     {F::Cut},
     true},
    {"AcknowledgedRecordsWhole", [](Sample&, RecoverOptions& o) { o.acknowledged = 16; }, ALL, {}, {}},
    {"ZeroedFirstPageOfLastRecord",
     [](Sample& s, RecoverOptions&) { std::fill_n(s.file.begin() + s.at(16), 40, std::byte{0}); },
     TO_15,
     {},
     {F::TornTail}},
    {"Gap",
     [](Sample& s, RecoverOptions&) { s.file.erase(s.file.begin() + s.at(13), s.file.begin() + s.at(14)); },
     NO_13,
     {{13, 13}},
     {F::Gap},
     true},
    {"Swap",
     [](Sample& s, RecoverOptions&) {
         std::vector<std::byte> moved(s.file.begin() + s.at(13), s.file.begin() + s.at(14));
         s.file.erase(s.file.begin() + s.at(13), s.file.begin() + s.at(14));
         s.file.insert(s.file.begin() + s.at(13) + (s.at(15) - s.at(14)), moved.begin(), moved.end());
     },
     ALL,
     {},
     {F::OutOfOrder},
     true},
    {"FlippedPayloadMidLog",
     [](Sample& s, RecoverOptions&) { flip(s, s.at(13) + 50); },
     NO_13,
     {{13, 13}},
     {F::BadChecksum},
     true},
    {"FlippedRecordHeaderMidLog",
     [](Sample& s, RecoverOptions&) { flip(s, s.at(13) + 17); },
     NO_13,
     {{13, 13}},
     {F::Unreadable, F::Gap},
     true},
    {"FlippedByteInLastRecord",
     [](Sample& s, RecoverOptions&) { flip(s, s.at(16) + 90); },
     TO_15,
     {{16, 16}},
     {F::BadChecksum},
     true},
    {"Repeat",
     [](Sample& s, RecoverOptions&) {
         s.file.insert(s.file.begin() + s.at(13), s.file.begin() + s.at(12), s.file.begin() + s.at(13));
     },
     ALL,
     {},
     {F::Repeat},
     true},
    {"GarbageTail",
     [](Sample& s, RecoverOptions&) { s.file.resize(s.file.size() + 90, std::byte{0x5a}); },
     ALL,
     {{17, NO_END}},
     {F::Unreadable},
     true},
    {"Missing",
     [](Sample& s, RecoverOptions& o) {
         s.file.clear();
         o.expected_base = 10;
     },
     {},
     {{11, NO_END}},
     {F::Missing}},
    {"HeaderDamaged",
     [](Sample& s, RecoverOptions& o) {
         flip(s, 20);
         o.expected_base = 10;
     },
     {},
     {{11, NO_END}},
     {F::HeaderDamaged},
     true},
    {"LogStartsAfterTheCheckpoint",
     [](Sample&, RecoverOptions& o) { o.expected_base = 8; },
     ALL,
     {{9, 10}},
     {F::BaseAhead}},
    {"CheckpointHoldsTheFirstRecords", [](Sample&, RecoverOptions& o) { o.expected_base = 13; }, {14, 15, 16}, {}, {}},
    {"ForeignTag", [](Sample&, RecoverOptions& o) { o.tag = "other"; }, {}, {}, {}, false, LogError::Kind::ForeignLog},
    {"NotALog", [](Sample& s, RecoverOptions&) { flip(s, 1); }, {}, {}, {}, false, LogError::Kind::NotALog},
    {"LaterVersion",
     [](Sample& s, RecoverOptions&) { s.file[8] = std::byte{2}; },
     {},
     {},
     {},
     false,
     LogError::Kind::UnsupportedVersion},
};

void PrintTo(const DamageCase& c, std::ostream* out) { *out << c.name; }

class DamagedLog : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedLog, HandsOverWhatIsIntactAndNamesWhatIsLost) {
    const DamageCase& c = GetParam();
    Sample s;
    RecoverOptions options{"test", std::nullopt};
    c.damage(s, options);
    if (s.file.empty()) {
        fs::remove(s.path);
    } else {
        write_file(s.path, s.file);
    }
    Handed handed;
    const auto report = recover_all(s.path, options, handed);
    if (c.refused) {
        ASSERT_FALSE(report.has_value());
        EXPECT_EQ(report.error().kind, *c.refused);
        EXPECT_EQ(read_file(s.path), s.file);  // untouched
        return;
    }
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(handed.seqs, c.handed);
    for (std::size_t i = 0; i < handed.seqs.size(); ++i) EXPECT_EQ(handed.payloads[i], payload_of(handed.seqs[i]));
    EXPECT_EQ(report->lost, c.lost);
    std::vector<F> kinds;
    for (const Finding& f : report->findings) kinds.push_back(f.kind);
    EXPECT_EQ(kinds, c.findings);
    for (const Finding& f : report->findings) EXPECT_FALSE(describe(f).empty());
    EXPECT_EQ(report->intact(), c.lost.empty() && !c.aside && c.findings.size() <= 1 &&
                                    (c.findings.empty() || c.findings[0] == F::TornTail));

    if (c.aside) {
        // Kept whole beside the path, never changed in place.
        EXPECT_EQ(report->kept_aside, s.path + ".damaged");
        EXPECT_EQ(read_file(report->kept_aside), s.file);
        EXPECT_FALSE(fs::exists(s.path));
    } else if (!s.file.empty()) {
        // Only an unfinished last record is cut off, at the end of the last whole one.
        EXPECT_TRUE(report->kept_aside.empty());
        const auto now = read_file(s.path);
        EXPECT_EQ(now.size(), report->end);
        EXPECT_TRUE(std::equal(now.begin(), now.end(), s.file.begin()));
    }
    // Once recovered, the log reads back without a finding, or a new one starts.
    if (report->resumable()) {
        Handed again;
        EXPECT_TRUE(recover_all(s.path, options, again)->findings.empty());
        EXPECT_EQ(again.seqs, c.handed);
    }
}

INSTANTIATE_TEST_SUITE_P(Log, DamagedLog, ::testing::ValuesIn(DAMAGE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// Cut anywhere after the header, a log loses nothing silently but the
// unfinished record; a flipped byte anywhere is refused (magic, version) or
// every record is either handed over intact or named lost.
TEST(Log, EveryCutAndEveryFlippedByteIsAccountedFor) {
    Sample s;
    const RecoverOptions options{"test", std::nullopt};
    const auto run = [&](const std::vector<std::byte>& file, Handed& handed) {
        write_file(s.path, file);
        const auto report = recover_all(s.path, options, handed);
        fs::remove(s.path.c_str() + std::string(".damaged"));
        return report;
    };
    for (std::size_t length = s.starts[0]; length <= s.file.size(); ++length) {
        Handed handed;
        const auto report = run({s.file.begin(), s.file.begin() + length}, handed);
        ASSERT_TRUE(report.has_value() && report->intact()) << length;
        const auto whole = std::upper_bound(s.starts.begin(), s.starts.end(), length) - s.starts.begin() - 1;
        EXPECT_EQ(handed.seqs.size(), static_cast<std::size_t>(whole)) << length;
    }
    for (std::size_t at = 0; at < s.file.size(); ++at) {
        auto file = s.file;
        file[at] ^= std::byte{0x01};
        Handed handed;
        const auto report = run(file, handed);
        if (at < 12) {
            EXPECT_FALSE(report.has_value()) << at;
            continue;
        }
        ASSERT_TRUE(report.has_value()) << at;
        EXPECT_FALSE(report->intact()) << at;
        for (std::uint64_t seq = 11; seq <= 16; ++seq) {
            const auto found = std::find(handed.seqs.begin(), handed.seqs.end(), seq);
            const bool lost = std::any_of(report->lost.begin(), report->lost.end(),
                                          [&](const RecordRange& r) { return r.first <= seq && seq <= r.last; });
            EXPECT_NE(found != handed.seqs.end(), lost) << at << " " << seq;
            if (found != handed.seqs.end()) {
                EXPECT_EQ(handed.payloads[found - handed.seqs.begin()], payload_of(seq));
            }
        }
    }
}

#if !defined(_WIN32)
// FIFOs, file size limits and pipes: what POSIX systems can put under a log.
TEST(Log, AFileThatIsNoLogIsRefusedWithoutBlocking) {
    const std::string folder = fresh_folder();
    const std::string fifo = folder + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, folder}) {
        const auto reader = LogReader::open(path, {"test", std::nullopt});
        ASSERT_FALSE(reader.has_value());
        EXPECT_EQ(reader.error().kind, LogError::Kind::NotRegularFile);
    }
    fs::remove_all(folder);
}

// A write that fails half-way is cut off again, so the next record follows
// the last whole one; a failure that cannot be undone makes the log refuse.
TEST(Log, AFailedWriteLeavesNoHalfRecord) {
    Sample s;
    auto reader = LogReader::open(s.path, {"test", std::nullopt});
    while (reader->next().value()) {}
    ASSERT_TRUE(reader->settle().has_value());
    auto log = std::move(Log::resume(*reader).value());

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = s.file.size() + 100;  // room for part of the next record only
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::vector<std::byte> big(1000, std::byte{1});
    const std::span<const std::byte> parts[] = {big};
    const auto failed = log->append_durable(1, parts);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(), (LogError{LogError::Kind::Io, EFBIG}));
    EXPECT_EQ(fs::file_size(s.path), s.file.size());
    EXPECT_EQ(log->append_durable(1, parts), 17u);
    log->close();
    Handed handed;
    const auto report = recover_all(s.path, {"test", std::nullopt}, handed);
    EXPECT_TRUE(report->findings.empty());
    EXPECT_EQ(handed.seqs.back(), 17u);

    // A write whose cut fails, and a flush that fails: every later call is refused.
    int pipe_ends[2];
    for (const bool flush_fails : {false, true}) {
        auto other = std::move(Log::create(s.folder + "/other.log", "test", 0, {}).value());
        if (flush_fails) {
            EXPECT_EQ(other->append(1, parts), 1u);
        }
        ASSERT_EQ(::pipe(pipe_ends), 0);
        LogTestAccess::replace_file(*other, pipe_ends[1]);
        const auto first = flush_fails ? other->sync(1).error() : other->append(1, parts).error();
        EXPECT_EQ(first.kind, flush_fails ? LogError::Kind::Refusing : LogError::Kind::Io);
        EXPECT_EQ(other->append(1, parts).error().kind, LogError::Kind::Refusing);
        EXPECT_EQ(other->append(1, parts).error().error, first.error);
        ::close(pipe_ends[0]);
    }
}
#endif

// Many writers, one flush for many records: every record is there, numbered
// once, each writer's in its own order, and durable when its call returns.
TEST(Log, GroupCommitFromManyThreadsKeepsEveryRecord) {
    const std::string folder = fresh_folder();
    const std::string path = folder + "/group.log";
    auto log = std::move(Log::create(path, "test", 100, {}).value());
    constexpr std::uint32_t THREADS = 4;
    constexpr std::uint32_t EACH = 150;
    std::vector<std::thread> writers;
    for (std::uint32_t t = 0; t < THREADS; ++t) {
        writers.emplace_back([&log, t] {
            for (std::uint32_t i = 0; i < EACH; ++i) {
                const std::uint32_t word[] = {t, i};
                const std::span<const std::byte> parts[] = {std::as_bytes(std::span(word))};
                const auto seq = log->append_durable(t, parts);
                ASSERT_TRUE(seq.has_value());
                ASSERT_GE(log->durable_seq(), *seq);
            }
        });
    }
    for (auto& w : writers) w.join();
    EXPECT_EQ(log->next_seq(), 101u + THREADS * EACH);
    log->close();

    std::vector<std::uint32_t> next_of(THREADS, 0);
    std::uint64_t expected_seq = 101;
    const auto report = recover(path, {"test", std::nullopt}, [&](const RecordView& r) {
        std::uint32_t word[2];
        EXPECT_EQ(r.payload.size(), sizeof word);
        std::memcpy(word, r.payload.data(), sizeof word);
        EXPECT_EQ(r.seq, expected_seq++);
        EXPECT_EQ(r.kind, word[0]);
        EXPECT_EQ(word[1], next_of[word[0]]++);
        return true;
    });
    EXPECT_TRUE(report.has_value() && report->intact());
    EXPECT_EQ(next_of, std::vector<std::uint32_t>(THREADS, EACH));
    fs::remove_all(folder);
}

#if !defined(_WIN32)
// A child forked while a thread of the parent holds the log's lock and
// another waits on its condition: every call in the child returns at once,
// refusing to write to the parent's file, and the Log goes without hanging.
TEST(Log, AForkedChildIsRefusedInsteadOfHanging) {
    const std::string folder = fresh_folder();
    const std::string path = folder + "/forked.log";
    auto log = std::move(Log::create(path, "test", 0, {}).value());
    const std::vector<std::byte> payload(10, std::byte{7});
    const std::span<const std::byte> parts[] = {payload};
    EXPECT_EQ(log->append_durable(1, parts), 1u);

    bool waiting = false;
    bool woken = false;
    std::thread waiter([&] {
        std::unique_lock lock(LogTestAccess::mutex(*log));
        waiting = true;
        LogTestAccess::flushed(*log).wait(lock, [&] { return woken; });
    });
    // Once the waiter waits, the lock is free to take; it stays held across the fork.
    while (LogTestAccess::mutex(*log).lock(), !waiting) LogTestAccess::mutex(*log).unlock();
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(10);  // a hang ends the child by a signal, which the parent sees
        const bool refused = log->append_durable(1, parts).error().kind == LogError::Kind::Forked &&
                             log->sync(1).error().kind == LogError::Kind::Forked && log->inherited() &&
                             log->next_seq() == 2 && log->durable_seq() == 1;
        log->close();
        log.reset();
        ::_exit(refused ? 0 : 1);
    }
    woken = true;
    LogTestAccess::mutex(*log).unlock();
    LogTestAccess::flushed(*log).notify_all();
    waiter.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

    // The parent's log goes on where it was.
    EXPECT_EQ(log->append_durable(1, parts), 2u);
    log.reset();
    fs::remove_all(folder);
}
#endif

}  // namespace
}  // namespace kestrix::wal
