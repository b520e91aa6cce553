// Pseudo-terminals on Linux: openpty, the master side kept by the program (raw and non-blocking),
// the slave side's path handed to the other program.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "host/oskit/posix/native_lines.h"
#include "host/oskit/posix/termios_settings.h"

namespace host {

PseudoTerminal::PseudoTerminal(std::unique_ptr<Native> native) : native_(std::move(native)) {}

PseudoTerminal::~PseudoTerminal() {
    if (!native_->linkPath.empty()) {
        char target[PATH_MAX];
        const ssize_t n = readlink(native_->linkPath.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == native_->slavePath) {
            unlink(native_->linkPath.c_str());
        }
    }
    if (native_->slave >= 0) close(native_->slave);
}

SerialLine& PseudoTerminal::line() {
    return *native_->master;
}

const std::string& PseudoTerminal::path() const {
    return native_->slavePath;
}

bool PseudoTerminal::MakeLink(const std::string& linkPath, std::string& error) {
    struct stat st {};
    if (lstat(linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = linkPath + " exists and is not a symbolic link; not replacing it";
            return false;
        }
        unlink(linkPath.c_str());
    }
    if (symlink(native_->slavePath.c_str(), linkPath.c_str()) != 0) {
        error = "cannot create the link " + linkPath + ": " + std::strerror(errno);
        return false;
    }
    native_->linkPath = linkPath;
    return true;
}

bool PseudoTerminal::SettingsNow(LineSettings& settings) const {
    // The terminal's own side, which the other program set up through its descriptor of it.
    termios tio{};
    return tcgetattr(native_->slave, &tio) == 0 && ReadLineSettings(tio, settings);
}

std::unique_ptr<PseudoTerminal> OpenPseudoTerminal(std::string& error, PtySettings settings) {
    termios tio{};
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    // The master side is raw whatever the terminal's settings: they govern the other side.
    termios* initial = settings == PtySettings::kRaw ? &tio : nullptr;
    char name[PATH_MAX] = {};
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, name, initial, nullptr) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return nullptr;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    auto native = std::make_unique<PseudoTerminal::Native>();
    native->master = LineOnDescriptor(master);
    native->slave = slave;
    native->slavePath = name;
    return std::make_unique<PseudoTerminal>(std::move(native));
}

}  // namespace host
