// Checked output files.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "options.h"

namespace tool {

WriteError::WriteError(const std::string &path, int err)
    : std::runtime_error("cannot write " + (path == "-" ? std::string("standard output") : path) + ": " +
                         std::strerror(err)),
      error(err)
{
}

bool WriteError::PipeClosed() const
{
    return error == EPIPE;
}

OutputFile::OutputFile(const std::string &path) : path_(path)
{
    if (path == "-") {
        fd_ = STDOUT_FILENO;
        stream_ = true;
    } else {
        fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0)
            throw WriteError(path, errno);
    }
    struct stat info {};
    regular_ = fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
}

OutputFile::~OutputFile()
{
    if (fd_ >= 0 && !stream_)
        close(fd_);
}

void OutputFile::Commit()
{
    size_t done = 0;
    while (done < pending_.size()) {
        ssize_t n = write(fd_, pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            // A partial record would leave the file unreadable: cut back to the last commit.
            if (regular_ && ftruncate(fd_, static_cast<off_t>(committed_)) == 0)
                lseek(fd_, static_cast<off_t>(committed_), SEEK_SET);
            pending_.clear();
            throw WriteError(path_, error);
        }
        done += static_cast<size_t>(n);
    }
    committed_ += pending_.size();
    pending_.clear();
}

void OutputFile::WriteAt(uint64_t offset, std::string_view bytes)
{
    ssize_t n = pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n != static_cast<ssize_t>(bytes.size()))
        throw WriteError(path_, n < 0 ? errno : ENOSPC);
}

void OutputFile::Close()
{
    Commit();
    if (stream_)
        return;
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0)
        throw WriteError(path_, errno);
}

void WriteFileAtomically(const std::string &path, const std::string &text)
{
    std::string temp = path + ".tmp";
    {
        OutputFile file(temp);
        file.Append(text);
        try {
            file.Close();
        } catch (const WriteError &error) {
            unlink(temp.c_str());
            throw WriteError(path, error.error);
        }
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        int error = errno;
        unlink(temp.c_str());
        throw WriteError(path, error);
    }
}

void CheckReplace(const std::string &path, bool force)
{
    struct stat info {};
    if (force || path == "-" || stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return;
    throw UsageError{path + " exists; give --force to replace it"};
}

bool IsRegularOrAbsent(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) != 0 ? errno == ENOENT : S_ISREG(info.st_mode);
}

std::string SidePath(const std::string &path)
{
    auto dot = path.rfind('.');
    auto slash = path.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        return path.substr(0, dot) + ".json";
    return path + ".json";
}

std::string Extension(const std::string &path)
{
    auto dot = path.rfind('.');
    auto slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return "";
    std::string ext = path.substr(dot + 1);
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

}  // namespace tool
