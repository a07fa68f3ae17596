#include "platform/posix/StoreFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace refwarden {

namespace {

// mkdir -p for the folders above `path`; the ones made get mode 0700.
int MakeParentFolders(const std::string& path) {
  std::string::size_type slash = path.find('/', 1);
  for (; slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (path[slash - 1] == '/') continue;
    std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) == 0) {
      chmod(folder.c_str(), 0700);  // the umask may have taken bits away
      continue;
    }
    if (errno != EEXIST) return errno;
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  }
  return 0;
}

std::string FolderOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Creates the store file when it is missing, as PrepareStoreFile describes.
LONG CreateStoreFileIfMissing(const std::string& path,
                              void (*beforeCreate)(const std::string& path)) {
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return ERROR_SUCCESS;
  if (errno != ENOENT) return ErrorFromErrno(errno);
  if (int err = MakeParentFolders(path)) return ErrorFromErrno(err);

  // Creators take the folder's lock, so that what an earlier file left is
  // removed before the new file appears and never after another process
  // opened it.
  int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return ErrorFromErrno(errno);
  while (flock(folder, LOCK_EX) != 0) {
    if (errno != EINTR) {
      int err = errno;
      close(folder);
      return ErrorFromErrno(err);
    }
  }
  LONG result = ERROR_SUCCESS;
  if (stat(path.c_str(), &st) != 0) {
    if (beforeCreate != nullptr) beforeCreate(path);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fchmod(fd, 0600);
      close(fd);
    } else if (errno != EEXIST) {
      result = ErrorFromErrno(errno);
    }
  }
  flock(folder, LOCK_UN);
  close(folder);
  return result;
}

}  // namespace

LONG ErrorFromErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENOMEM:
      return ERROR_OUTOFMEMORY;
    default:
      return ERROR_WRITE_FAULT;
  }
}

LONG IdentifyFile(const std::string& path, FileIdentity* id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return ErrorFromErrno(errno);
  id->device = st.st_dev;
  id->inode = st.st_ino;
  id->mode = st.st_mode;
  return ERROR_SUCCESS;
}

bool MayReadAndWrite(const std::string& path) {
  return faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
}

LONG CheckStillWritable(const std::string& path, FileIdentity* opened) {
  FileIdentity now;
  if (IdentifyFile(path, &now) != ERROR_SUCCESS || !now.SameFile(*opened)) return ERROR_WRITE_FAULT;
  if (now.mode != opened->mode) {
    if (!MayReadAndWrite(path)) return ERROR_ACCESS_DENIED;
    opened->mode = now.mode;
  }
  return ERROR_SUCCESS;
}

LONG PrepareStoreFile(const std::string& path, bool create,
                      void (*beforeCreate)(const std::string& path)) {
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return ErrorFromErrno(errno);
    if (!create) return ERROR_FILE_NOT_FOUND;
    if (LONG r = CreateStoreFileIfMissing(path, beforeCreate)) return r;
    if (lstat(path.c_str(), &st) != 0) return ErrorFromErrno(errno);
  }
  if (S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0)
    return errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return ERROR_BADDB;
  // SQLite makes an empty file a new store; it is private like one made here.
  if (st.st_size == 0 && (st.st_mode & 07777) != 0600 && chmod(path.c_str(), 0600) != 0)
    return ERROR_ACCESS_DENIED;
  if (!MayReadAndWrite(path)) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

}  // namespace refwarden
