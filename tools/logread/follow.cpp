#include "follow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace orn::logread {

namespace {

constexpr const char* kFinish = "===============Finish Logging================";
constexpr useconds_t kPollMicroseconds = 200 * 1000;
constexpr int kNumberedFiles = 10;

struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId& other) const {
        return device == other.device && inode == other.inode;
    }
};

// False for anything but a plain file: a link or a device is not a file the logger wrote.
bool IdentifyPlainFile(int fd, FileId* id) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *id = {st.st_dev, st.st_ino};
    return true;
}

// The numbered files beside the followed one. The logger names a new file by the first free
// number, or, with all ten taken, drops .0, moves the others one number down and creates .9: a
// file keeps no name, so files are told apart by identity. Each look holds the files open until
// the next one, so that a file removed in between keeps its inode and a file created meanwhile
// cannot reuse it and pass for one seen before.
class NumberedFiles {
  public:
    explicit NumberedFiles(const std::string& base) : base_(base) { Look(nullptr); }
    ~NumberedFiles() {
        for (const Held& h : held_) close(h.fd);
    }
    NumberedFiles(const NumberedFiles&) = delete;
    NumberedFiles& operator=(const NumberedFiles&) = delete;

    // Appends to `created`, lowest number first, a descriptor of each file that was not there at
    // the previous look.
    void Look(std::deque<int>* created) {
        std::vector<Held> now;
        for (int n = 0; n < kNumberedFiles; ++n) {
            const std::string name = base_ + "." + std::to_string(n);
            const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            if (fd < 0) continue;
            Held h{fd, {}};
            if (!IdentifyPlainFile(fd, &h.id)) {
                close(fd);
                continue;
            }
            const bool seen = Holds(held_, h.id) || Holds(now, h.id);
            now.push_back(h);
            if (created && !seen) {
                const int copy = dup(fd);
                if (copy >= 0) created->push_back(copy);
            }
        }
        for (const Held& h : held_) close(h.fd);
        held_.swap(now);
    }

  private:
    struct Held {
        int fd;
        FileId id;
    };
    static bool Holds(const std::vector<Held>& files, const FileId& id) {
        for (const Held& h : files)
            if (h.id == id) return true;
        return false;
    }
    std::string base_;
    std::vector<Held> held_;
};

// One followed file: its text as it grows, decrypted as far as its blocks are whole.
struct Reader {
    LogCipher* cipher;
    std::string pending;  // encrypted bytes short of a whole block
    std::string tail;     // the end of the text, where the finish line shows

    bool Take(const char* data, size_t length, std::string* text) {
        if (!cipher) {
            text->assign(data, length);
        } else {
            pending.append(data, length);
            if (!DecryptBlocks(*cipher, pending, text)) return false;
            pending.erase(0, pending.size() - pending.size() % LogCipher::kBlock);
        }
        tail += *text;
        if (tail.size() > 128) tail.erase(0, tail.size() - 128);
        return true;
    }
    bool Finished() const { return tail.find(kFinish) != std::string::npos; }
};

void Write(std::FILE* out, std::string* text) {
    std::fwrite(text->data(), 1, text->size(), out);
    text->clear();
}

}  // namespace

bool FollowLog(const std::string& path, LogCipher* cipher, Explainer& explainer, std::FILE* out,
               std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    // Only a numbered file has a next one.
    const bool numbered =
        path.size() > 2 && path[path.size() - 2] == '.' && path.back() >= '0' && path.back() <= '9';
    std::unique_ptr<NumberedFiles> siblings;
    if (numbered) siblings = std::make_unique<NumberedFiles>(path.substr(0, path.size() - 2));
    std::deque<int> next;   // files the logger created after this one, oldest first
    bool complete = false;  // the logger has moved on: what this file holds is all of it

    Reader reader{cipher, {}, {}};
    std::string text, shown;
    std::string head;      // the start of the file while it is too short to tell a log
    bool started = false;  // the file has shown it is a log
    char buf[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (n > 0 && !reader.Take(buf, static_cast<size_t>(n), &text))) {
            *error = n < 0 ? "read error" : "decryption failed";
            ok = false;
            break;
        }
        if (n > 0) {
            // Nothing is printed of a file until its start shows it is a log.
            if (!started) {
                head += text;
                const LogStart start = CheckLogStart(head);
                if (start == LogStart::NotLog) {
                    *error = NotALogError(cipher != nullptr);
                    ok = false;
                    break;
                }
                if (start == LogStart::TooShort) continue;
                started = true;
                text.swap(head);
                head.clear();
            }
            explainer.Feed(text, &shown);
            Write(out, &shown);
            if (reader.Finished()) break;
            continue;
        }
        if (!complete && siblings) {
            siblings->Look(&next);
            // The logger finishes a file before it creates the next, so the next one showing up
            // means this one is complete once read again to its end.
            complete = !next.empty();
            if (complete) continue;
        }
        if (complete) {
            if (!reader.pending.empty()) {
                *error = "a finished file ends inside a block";
                ok = false;
                break;
            }
            // Ends the file like any finished log: an encrypted one's padding goes.
            explainer.End(&shown);
            Write(out, &shown);
            close(fd);
            fd = next.front();
            next.pop_front();
            reader = Reader{cipher, {}, {}};
            started = false;
            head.clear();
            complete = !next.empty();
            continue;
        }
        explainer.Flush(&shown);
        Write(out, &shown);
        std::fflush(out);
        usleep(kPollMicroseconds);
    }
    if (ok) {
        explainer.End(&shown);
        Write(out, &shown);
    }
    close(fd);
    for (int later : next) close(later);
    return ok;
}

}  // namespace orn::logread
