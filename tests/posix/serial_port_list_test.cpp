// The serial ports as sysfs describes them, read from a made-up tree that has the shapes of a
// real one: a USB adapter (the usb-serial port under its interface under the USB device), a
// modem-class adapter (the tty directly under its interface), a UART behind the serial core's
// port and ctrl devices (Linux 6.3 and later), a UART slot without hardware, and a virtual tty.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/oskit/posix/serial_port_list.h"

namespace {

namespace fs = std::filesystem;

class FakeSysfs {
public:
    FakeSysfs() {
        char name[] = "/tmp/qm4720-sysfs-XXXXXX";
        root_ = mkdtemp(name);
    }
    ~FakeSysfs() { fs::remove_all(root_); }

    // A directory of device attributes.
    void Device(const std::string& path,
                const std::vector<std::pair<std::string, std::string>>& files = {}) {
        fs::create_directories(root_ / path);
        for (const auto& [file, text] : files) std::ofstream(root_ / path / file) << text << "\n";
    }
    // The symbolic link `from`, pointing at `to` (both under the root).
    void Link(const std::string& from, const std::string& to) {
        fs::create_directories((root_ / from).parent_path());
        fs::create_symlink(fs::relative(root_ / to, (root_ / from).parent_path()), root_ / from);
    }
    std::string Path(const std::string& path) const { return (root_ / path).string(); }

private:
    fs::path root_;
};

TEST(SerialPortList, ReadsWhatTheSystemKnowsOfEachPort) {
    FakeSysfs sys;
    const std::string usb = "devices/pci0/usb1/1-2";
    sys.Device(usb, {{"idVendor", "0403"},
                     {"idProduct", "6001"},
                     {"serial", "A12BC3DE"},
                     {"manufacturer", "FTDI"},
                     {"product", "FT232R USB UART"}});
    sys.Device(usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0");
    sys.Device("bus/usb-serial/drivers/ftdi_sio");
    sys.Link(usb + "/1-2:1.0/ttyUSB0/driver", "bus/usb-serial/drivers/ftdi_sio");
    sys.Link(usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0/device", usb + "/1-2:1.0/ttyUSB0");
    sys.Link("class/tty/ttyUSB0", usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0");

    const std::string acm = "devices/pci0/usb1/1-3";
    sys.Device(acm, {{"idVendor", "2341"}, {"idProduct", "0043"}});  // no serial, no texts
    sys.Device(acm + "/1-3:1.0/tty/ttyACM0");
    sys.Device("bus/usb/drivers/cdc_acm");
    sys.Link(acm + "/1-3:1.0/driver", "bus/usb/drivers/cdc_acm");
    sys.Link(acm + "/1-3:1.0/tty/ttyACM0/device", acm + "/1-3:1.0");
    sys.Link("class/tty/ttyACM0", acm + "/1-3:1.0/tty/ttyACM0");

    // ttyS0: the serial core's port device under its ctrl device under the UART's own device.
    const std::string uart = "devices/pnp0/00:00";
    sys.Device(uart + "/00:00:0/00:00:0.0/tty/ttyS0", {});
    sys.Device("bus/serial-base/drivers/port");
    sys.Device("bus/serial-base/drivers/ctrl");
    sys.Device("bus/pnp/drivers/serial");
    sys.Link(uart + "/driver", "bus/pnp/drivers/serial");
    for (const std::string& level : {uart + "/00:00:0", uart + "/00:00:0/00:00:0.0"}) {
        sys.Link(level + "/subsystem", "bus/serial-base");
    }
    sys.Link(uart + "/00:00:0/driver", "bus/serial-base/drivers/ctrl");
    sys.Link(uart + "/00:00:0/00:00:0.0/driver", "bus/serial-base/drivers/port");
    sys.Link(uart + "/00:00:0/00:00:0.0/tty/ttyS0/device", uart + "/00:00:0/00:00:0.0");
    sys.Device(uart + "/00:00:0/00:00:0.0/tty/ttyS0", {{"type", "4"}});
    sys.Link("class/tty/ttyS0", uart + "/00:00:0/00:00:0.0/tty/ttyS0");

    // ttyS1: a slot of the legacy driver with no UART behind it.
    sys.Device("devices/platform/serial8250/tty/ttyS1", {{"type", "0"}});
    sys.Link("devices/platform/serial8250/tty/ttyS1/device", "devices/platform/serial8250");
    sys.Link("class/tty/ttyS1", "devices/platform/serial8250/tty/ttyS1");
    // tty0: a virtual console, no device.
    sys.Device("devices/virtual/tty/tty0");
    sys.Link("class/tty/tty0", "devices/virtual/tty/tty0");

    // udev's stable names: two for the FTDI adapter, none for the others.
    sys.Device("dev");
    sys.Link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12BC3DE-if00-port0", "dev/ttyUSB0");
    sys.Link("dev/serial/by-id/usb-FTDI_spare_name-if00-port0", "dev/ttyUSB0");
    sys.Link("dev/serial/by-id/usb-Other_ttyUSB1-if00", "dev/ttyUSB1");

    const auto ports = host::ListSerialPortsIn(sys.Path("class/tty"), sys.Path("dev/serial/by-id"));
    struct Expected {
        const char* name;
        const char* driver;
        const char* vendor;
        const char* serial;
        const char* description;
        std::vector<std::string> byId;
    } expected[] = {
        {"/dev/ttyACM0", "cdc_acm", "2341", "", "", {}},
        {"/dev/ttyS0", "serial", "", "", "", {}},
        {"/dev/ttyUSB0",
         "ftdi_sio",
         "0403",
         "A12BC3DE",
         "FTDI FT232R USB UART",
         {sys.Path("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12BC3DE-if00-port0"),
          sys.Path("dev/serial/by-id/usb-FTDI_spare_name-if00-port0")}},
    };
    ASSERT_EQ(ports.size(), std::size(expected));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(ports[i].name, expected[i].name);
        EXPECT_EQ(ports[i].driver, expected[i].driver);
        EXPECT_EQ(ports[i].usbVendor, expected[i].vendor);
        EXPECT_EQ(ports[i].serialNumber, expected[i].serial);
        EXPECT_EQ(ports[i].description, expected[i].description);
        EXPECT_EQ(ports[i].stableNames, expected[i].byId);
    }
    EXPECT_TRUE(host::ListSerialPortsIn(sys.Path("nowhere"), sys.Path("nowhere")).empty());
}

}  // namespace
