#include "zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "failure.h"
#include "platform.h"
#include "unique_fd.h"

namespace {

// Files up to one block are read and compressed whole, so their sizes and
// CRC lead their data; larger ones go in blocks, each deflated on its own
// but primed with the 32 KiB before it, and end in a data descriptor.
constexpr size_t kBlock = 512 * 1024;
constexpr size_t kWindow = 32 * 1024;

constexpr uint32_t kLocalSignature = 0x04034b50, kCentralSignature = 0x02014b50, kDescriptorSignature = 0x08074b50,
                   kEndSignature = 0x06054b50, kZip64EndSignature = 0x06064b50, kZip64LocatorSignature = 0x07064b50;
constexpr uint16_t kFlagDescriptor = 0x0008, kFlagUtf8 = 0x0800;
constexpr uint16_t kMadeOnUnix = 0x0300, kVersion = 20, kVersionZip64 = 45;
constexpr uint16_t kExtendedTimestamp = 0x5455, kZip64Extra = 0x0001;
constexpr uint64_t kNoValue32 = 0xFFFFFFFF;

void Put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The DOS date (high half) and time of UTC seconds; 1980-01-01 00:00 before 1980.
uint32_t DosDateTime(int64_t seconds) {
    if (seconds < 315532800) return (1u << 5 | 1u) << 16;
    const int64_t days = seconds / 86400, inDay = seconds % 86400;
    // Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
    const int64_t z = days + 719468, era = z / 146097, doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365, doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153, day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2);
    const uint32_t date = static_cast<uint32_t>((year - 1980) << 9 | month << 5 | day);
    const uint32_t time = static_cast<uint32_t>((inDay / 3600) << 11 | (inDay / 60 % 60) << 5 | (inDay % 60) / 2);
    return date << 16 | time;
}

// A piece of an entry's data on its way to the archive: a whole entry, or one
// block of a large file. What it becomes depends only on its bytes.
struct Job {
    const PayloadEntry* entry = nullptr;
    std::vector<uint8_t> input;  // the `primer` bytes before the block, then the block
    size_t primer = 0;
    bool whole = false, first = false, last = false, deflate = false;
    std::vector<uint8_t> output;  // deflated, when `deflate`
    uint32_t crc = 0;
    const uint8_t* data() const { return input.data() + primer; }
    size_t size() const { return input.size() - primer; }
};

class Deflater {
public:
    Deflater() {
        // Raw deflate at zlib's default level.
        if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            throw Failure(kExitFailed, "out of memory for deflate");
        }
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    ~Deflater() { deflateEnd(&stream_); }

    // A block other than the last ends byte-aligned (a sync flush), so the
    // next block's deflate continues the same stream.
    void Run(const uint8_t* primer, size_t primerSize, const uint8_t* data, size_t size, bool last,
             std::vector<uint8_t>& out) {
        deflateReset(&stream_);
        if (primerSize > 0) deflateSetDictionary(&stream_, primer, static_cast<uInt>(primerSize));
        out.resize(deflateBound(&stream_, size) + 64);
        stream_.next_in = const_cast<uint8_t*>(data);
        stream_.avail_in = static_cast<uInt>(size);
        stream_.next_out = out.data();
        stream_.avail_out = static_cast<uInt>(out.size());
        const int status = deflate(&stream_, last ? Z_FINISH : Z_SYNC_FLUSH);
        if (status != (last ? Z_STREAM_END : Z_OK) || stream_.avail_in != 0) {
            throw Failure(kExitFailed, "deflate failed");
        }
        out.resize(out.size() - stream_.avail_out);
    }

private:
    z_stream stream_ = {};
};

void Compress(Job& job, Deflater& deflater) {
    job.crc = static_cast<uint32_t>(crc32(0, job.data(), static_cast<uInt>(job.size())));
    if (!job.deflate) return;
    deflater.Run(job.input.data(), job.primer, job.data(), job.size(), job.last, job.output);
    // A whole entry that deflate does not make smaller is stored.
    if (job.whole && job.output.size() >= job.size()) job.deflate = false;
}

// A large file is stored when deflate does not shrink its first 4 KiB: the
// trial costs 4 KiB, not a second deflate of all of it.
constexpr size_t kDeflateSample = 4096;

bool DeflateShrinks(Deflater& deflater, const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    deflater.Run(nullptr, 0, data, std::min(size, kDeflateSample), true, out);
    return out.size() < std::min(size, kDeflateSample);
}

// Reads one entry's data in order: from its file, or from the spool. A file
// that grew or shrank since it was listed (its size is in the list) is an
// error, not an entry cut short; a spool holds other entries after this one.
// A file must also keep its time while it is read: a rewrite in place at the
// same size shows only there.
class EntryReader {
public:
    EntryReader(const PayloadData& data, const PayloadEntry& entry)
        : entry_(entry),
          fromFolder_(entry.bytes == nullptr && data.spoolFd < 0),
          file_(fromFolder_ ? Open(data, entry) : -1) {
        if (fromFolder_ && (!file_ || !platform::QueryFile(file_.get(), opened_))) ReadFailed();
        fd_ = fromFolder_ ? file_.get() : data.spoolFd;
        offset_ = fromFolder_ ? 0 : entry.dataOffset;
    }

    // Appends the next `length` bytes of the entry to `out`.
    void Read(size_t length, std::vector<uint8_t>& out) {
        if (entry_.bytes != nullptr) {
            out.insert(out.end(), entry_.bytes->begin() + static_cast<long>(done_),
                       entry_.bytes->begin() + static_cast<long>(done_ + length));
            done_ += length;
            return;
        }
        const size_t start = out.size();
        out.resize(start + length);
        for (size_t got = 0; got < length;) {
            const int64_t n = platform::ReadAt(fd_, static_cast<int64_t>(offset_ + done_), out.data() + start + got, length - got);
            if (n < 0) ReadFailed();
            if (n == 0) Changed();
            got += static_cast<size_t>(n), done_ += static_cast<uint64_t>(n);
        }
        uint8_t more;
        platform::FileInfo read;
        if (done_ == entry_.size && fromFolder_ &&
            (platform::ReadAt(fd_, static_cast<int64_t>(done_), &more, 1) > 0 || !platform::QueryFile(fd_, read) ||
             read.size != opened_.size || read.modified != opened_.modified)) {
            Changed();
        }
    }

private:
    static int Open(const PayloadData& data, const PayloadEntry& entry) {
        const std::string path = entry.source.empty() ? data.folder + "/" + entry.path : entry.source;
        return data.open ? data.open(entry, path) : platform::OpenForRead(path);
    }

    [[noreturn]] void ReadFailed() {
        throw Failure(kExitFailed, "cannot read " + Printable(entry_.path) + ": " + platform::LastErrorText());
    }
    [[noreturn]] void Changed() { throw Failure(kExitFailed, Printable(entry_.path) + " changed while it was being packed"); }

    const PayloadEntry& entry_;
    bool fromFolder_;
    UniqueFd file_;
    platform::FileInfo opened_;
    int fd_ = -1;
    uint64_t offset_ = 0, done_ = 0;
};

// The archive as it goes out: local headers and data in entry order, the
// central directory kept until the end.
class ZipOut {
public:
    ZipOut(ByteSink& sink, const PayloadData& data) : sink_(sink), data_(data), start_(sink.written()) {}

    // Takes the jobs of each entry in order.
    void Take(const Job& job) {
        const PayloadEntry& entry = *job.entry;
        if (job.first) Begin(entry, job);
        const uint8_t* bytes = job.deflate ? job.output.data() : job.data();
        const size_t length = job.deflate ? job.output.size() : job.size();
        Write(bytes, length);
        if (job.size() > 0 && data_.onData) data_.onData(entry, job.data(), job.size());
        crc_ = static_cast<uint32_t>(crc32_combine(crc_, job.crc, static_cast<z_off_t>(job.size())));
        compressedSize_ += length;
        if (job.last) End(entry);
    }

    void Finish() {
        const uint64_t centralAt = Offset(), centralSize = central_.size();
        Write(central_.data(), central_.size());
        std::vector<uint8_t> end;
        if (count_ >= 0xFFFF || centralAt >= kNoValue32 || centralSize >= kNoValue32) {
            const uint64_t zip64At = centralAt + centralSize;
            Put(end, kZip64EndSignature, 4), Put(end, 44, 8), Put(end, kMadeOnUnix | kVersionZip64, 2);
            Put(end, kVersionZip64, 2), Put(end, 0, 8), Put(end, count_, 8), Put(end, count_, 8);
            Put(end, centralSize, 8), Put(end, centralAt, 8);
            Put(end, kZip64LocatorSignature, 4), Put(end, 0, 4), Put(end, zip64At, 8), Put(end, 1, 4);
        }
        Put(end, kEndSignature, 4), Put(end, 0, 4), Put(end, std::min<uint64_t>(count_, 0xFFFF), 2);
        Put(end, std::min<uint64_t>(count_, 0xFFFF), 2), Put(end, std::min(centralSize, kNoValue32), 4);
        Put(end, std::min(centralAt, kNoValue32), 4), Put(end, 0, 2);
        Write(end.data(), end.size());
    }

private:
    // Offsets in the archive count from its first byte, wherever the sink started.
    uint64_t Offset() const { return sink_.written() - start_; }

    void Write(const void* bytes, size_t length) {
        if (length > 0) sink_.Write(bytes, length);
    }

    void Begin(const PayloadEntry& entry, const Job& job) {
        name_ = ZipName(entry);
        localAt_ = Offset();
        flags_ = static_cast<uint16_t>(kFlagUtf8 | (job.whole ? 0 : kFlagDescriptor));
        method_ = job.deflate ? 8 : 0;
        crc_ = 0, compressedSize_ = 0;
        // A file's time goes into the DOS fields and the timestamp field,
        // which tar.exe restores to the second, so that Python's .pyc files
        // stay valid. A folder, and the built-in launcher, which has no file
        // of its own, get none: the DOS time 1980-01-01 00:00.
        const bool timed = entry.kind != EntryKind::Directory && entry.bytes == nullptr;
        const int64_t time = timed ? PackedTime(entry.mtime, data_.latestTime) : 0;
        dosTime_ = DosDateTime(time);
        timestamp_.clear();
        if (timed) Put(timestamp_, kExtendedTimestamp, 2), Put(timestamp_, 5, 2), Put(timestamp_, 1, 1), Put(timestamp_, time, 4);

        std::vector<uint8_t> h;
        Put(h, kLocalSignature, 4), Put(h, kVersion, 2), Put(h, flags_, 2), Put(h, method_, 2), Put(h, dosTime_, 4);
        // Sizes and CRC lead a whole entry; a block-wise one gives them in its descriptor.
        Put(h, job.whole ? job.crc : 0, 4), Put(h, job.whole ? Stored(job) : 0, 4), Put(h, job.whole ? job.size() : 0, 4);
        Put(h, name_.size(), 2), Put(h, timestamp_.size(), 2);
        h.insert(h.end(), name_.begin(), name_.end());
        h.insert(h.end(), timestamp_.begin(), timestamp_.end());
        Write(h.data(), h.size());
    }

    static uint64_t Stored(const Job& job) { return job.deflate ? job.output.size() : job.size(); }

    void End(const PayloadEntry& entry) {
        const uint64_t size = entry.kind == EntryKind::Directory ? 0 : entry.size;
        if (flags_ & kFlagDescriptor) {
            std::vector<uint8_t> d;
            Put(d, kDescriptorSignature, 4), Put(d, crc_, 4), Put(d, compressedSize_, 4), Put(d, size, 4);
            Write(d.data(), d.size());
        }
        // Files are at most kMaxFileSize, so only the offset may need ZIP64.
        const bool zip64 = localAt_ >= kNoValue32;
        std::vector<uint8_t>& c = central_;
        Put(c, kCentralSignature, 4), Put(c, kMadeOnUnix | (zip64 ? kVersionZip64 : kVersion), 2);
        Put(c, zip64 ? kVersionZip64 : kVersion, 2), Put(c, flags_, 2), Put(c, method_, 2), Put(c, dosTime_, 4);
        Put(c, crc_, 4), Put(c, compressedSize_, 4), Put(c, size, 4);
        Put(c, name_.size(), 2), Put(c, timestamp_.size() + (zip64 ? 12 : 0), 2), Put(c, 0, 2), Put(c, 0, 4);
        // Fixed permissions; the MS-DOS folder attribute for readers that look only there.
        const bool folder = entry.kind == EntryKind::Directory;
        Put(c, (folder ? 040755u : 0100644u) << 16 | (folder ? 0x10 : 0), 4);
        Put(c, std::min(localAt_, kNoValue32), 4);
        c.insert(c.end(), name_.begin(), name_.end());
        c.insert(c.end(), timestamp_.begin(), timestamp_.end());
        if (zip64) Put(c, kZip64Extra, 2), Put(c, 8, 2), Put(c, localAt_, 8);
        ++count_;
    }

    ByteSink& sink_;
    const PayloadData& data_;
    const uint64_t start_;
    std::vector<uint8_t> central_;
    uint64_t count_ = 0;
    // The entry being written.
    std::string name_;
    std::vector<uint8_t> timestamp_;
    uint64_t localAt_ = 0, compressedSize_ = 0;
    uint16_t flags_ = 0, method_ = 0;
    uint32_t dosTime_ = 0, crc_ = 0;
};

}  // namespace

int64_t PackedTime(int64_t mtime, std::optional<int64_t> latest) {
    if (latest.has_value() && mtime > *latest) mtime = *latest;
    return std::clamp<int64_t>(mtime, 0, UINT32_MAX);
}

void WritePayloadZip(const PayloadData& data, const std::vector<PayloadEntry>& entries, ByteSink& sink) {
    ZipOut out(sink, data);
    Deflater deflater;
    const auto submit = [&](std::unique_ptr<Job> job) {
        Compress(*job, deflater);
        out.Take(*job);
    };
    for (const PayloadEntry& entry : entries) {
        auto job = std::make_unique<Job>();
        job->entry = &entry;
        job->first = true;
        if (entry.kind == EntryKind::Directory) {
            job->whole = job->last = true;
            submit(std::move(job));
            continue;
        }
        EntryReader reader(data, entry);
        if (entry.bytes != nullptr || entry.size <= kBlock) {
            job->whole = job->last = job->deflate = true;
            reader.Read(static_cast<size_t>(entry.size), job->input);
            submit(std::move(job));
            continue;
        }
        std::vector<uint8_t> primer;
        bool deflate = true;
        for (uint64_t at = 0; at < entry.size; at += kBlock) {
            if (!job) job = std::make_unique<Job>(), job->entry = &entry;
            job->input = primer;
            job->primer = primer.size();
            job->last = entry.size - at <= kBlock;
            reader.Read(static_cast<size_t>(std::min<uint64_t>(kBlock, entry.size - at)), job->input);
            if (at == 0) deflate = DeflateShrinks(deflater, job->data(), job->size());
            job->deflate = deflate;
            primer.assign(job->input.end() - kWindow, job->input.end());
            submit(std::move(job));
        }
    }
    out.Finish();
}
