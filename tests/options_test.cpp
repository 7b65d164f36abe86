// The command line read into what a run should do, and the port list and
// usb: names read from a made-up /sys and /dev.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "cli/messages.h"
#include "cli/options.h"
#include "link/port.h"
#include "link/port_identity.h"
#include "tests/support/upload.h"

namespace {

struct ParseCase {
    const char* name;
    std::vector<const char*> arguments;  // after the program's own name
    const char* environment_port;        // PELKRON_PORT, or null when unset
    CommandAction action;
    const char* file;
    const char* port;
    PortSource source;
    int timeout_seconds;
    const char* problem;  // for wrong use
    bool quiet = false;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class CommandLineParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(CommandLineParsing, GivesTheActionPortFileAndTimeOutOrSaysWhatIsWrong) {
    const ParseCase& c = GetParam();
    std::vector<const char*> argv = {"pelkron"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const CommandLine command =
        parse_command_line(static_cast<int>(argv.size()), argv.data(), c.environment_port, "/dev/ttyS5");

    EXPECT_EQ(command.action, c.action);
    if (c.action == command_wrong_use) {
        EXPECT_EQ(command.problem, c.problem);
        return;
    }
    EXPECT_EQ(command.problem, "");
    if (c.action != command_upload) return;
    EXPECT_EQ(command.file, c.file);
    EXPECT_EQ(command.port, c.port);
    EXPECT_EQ(command.port_source, c.source);
    EXPECT_EQ(command.timeout_seconds, c.timeout_seconds);
    EXPECT_EQ(command.quiet, c.quiet);
}

const char* const no_env = nullptr;

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLineParsing,
    ::testing::Values(
        // The bare form people and scripts rely on.
        ParseCase{"file_alone_uses_the_built_in_port", {"fw.bin"}, no_env, command_upload, "fw.bin", "/dev/ttyS5",
                  port_built_in, 0, ""},
        ParseCase{"short_port_option", {"-p", "/dev/ttyUSB0", "fw.bin"}, no_env, command_upload, "fw.bin",
                  "/dev/ttyUSB0", port_from_option, 0, ""},
        ParseCase{"short_port_option_attached", {"-pCOM3", "fw.bin"}, no_env, command_upload, "fw.bin", "COM3",
                  port_from_option, 0, ""},
        ParseCase{"long_port_option", {"--port", "COM12", "fw.bin"}, no_env, command_upload, "fw.bin", "COM12",
                  port_from_option, 0, ""},
        ParseCase{"long_port_option_with_equals", {"--port=/dev/serial/by-id/usb-x", "fw.bin"}, no_env,
                  command_upload, "fw.bin", "/dev/serial/by-id/usb-x", port_from_option, 0, ""},
        ParseCase{"environment_port", {"fw.bin"}, "/dev/ttyACM0", command_upload, "fw.bin", "/dev/ttyACM0",
                  port_from_environment, 0, ""},
        ParseCase{"empty_environment_port_is_unset", {"fw.bin"}, "", command_upload, "fw.bin", "/dev/ttyS5",
                  port_built_in, 0, ""},
        ParseCase{"option_over_environment", {"-p", "/dev/ttyUSB1", "fw.bin"}, "/dev/ttyACM0", command_upload,
                  "fw.bin", "/dev/ttyUSB1", port_from_option, 0, ""},
        ParseCase{"last_port_option_wins", {"-p", "a", "--port=b", "fw.bin"}, no_env, command_upload, "fw.bin", "b",
                  port_from_option, 0, ""},
        ParseCase{"timeout", {"--timeout", "60", "fw.bin"}, no_env, command_upload, "fw.bin", "/dev/ttyS5",
                  port_built_in, 60, ""},
        ParseCase{"timeout_with_equals", {"--timeout=2", "-p", "x", "fw.bin"}, no_env, command_upload, "fw.bin", "x",
                  port_from_option, 2, ""},
        ParseCase{"double_dash_ends_the_options", {"--", "-odd-name.bin"}, no_env, command_upload, "-odd-name.bin",
                  "/dev/ttyS5", port_built_in, 0, ""},
        ParseCase{"dash_is_standard_input", {"-p", "x", "-"}, no_env, command_upload, "-", "x", port_from_option, 0,
                  ""},
        ParseCase{"help_short", {"-h"}, no_env, command_help, "", "", port_built_in, 0, ""},
        ParseCase{"help_long", {"--help"}, no_env, command_help, "", "", port_built_in, 0, ""},
        ParseCase{"version_short", {"-V"}, no_env, command_version, "", "", port_built_in, 0, ""},
        ParseCase{"version_long", {"--version"}, no_env, command_version, "", "", port_built_in, 0, ""},
        ParseCase{"list", {"--list"}, no_env, command_list, "", "", port_built_in, 0, ""},
        ParseCase{"quiet_short", {"-q", "fw.bin"}, no_env, command_upload, "fw.bin", "/dev/ttyS5", port_built_in, 0,
                  "", true},
        ParseCase{"quiet_long_among_others", {"-p", "x", "--quiet", "--timeout", "3", "fw.bin"}, no_env,
                  command_upload, "fw.bin", "x", port_from_option, 3, "", true},
        ParseCase{"remote_port", {"-p", "rfc2217://lab:7001", "fw.bin"}, no_env, command_upload, "fw.bin",
                  "rfc2217://lab:7001", port_from_option, 0, ""},
        ParseCase{"remote_port_scheme_in_capitals", {"-p", "RFC2217://[fd00::17]:7002", "fw.bin"}, no_env,
                  command_upload, "fw.bin", "RFC2217://[fd00::17]:7002", port_from_option, 0, ""},
        // Wrong use: the usage line comes first, then this.
        ParseCase{"no_file", {}, no_env, command_wrong_use, "", "", port_built_in, 0, "no file given"},
        ParseCase{"options_but_no_file", {"-p", "x"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "no file given"},
        ParseCase{"two_files", {"a.bin", "b.bin"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "one file at a time: 'b.bin' is a second file"},
        ParseCase{"option_after_the_file", {"a.bin", "-p", "x"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "options go before the file: '-p'"},
        ParseCase{"unknown_long_option", {"--fast", "a.bin"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "unknown option '--fast'"},
        ParseCase{"unknown_short_option", {"-x", "a.bin"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "unknown option '-x'"},
        ParseCase{"abbreviated_option_is_unknown", {"--ver"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "unknown option '--ver'"},
        ParseCase{"port_without_value", {"-p"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "option -p needs a port"},
        ParseCase{"empty_port", {"--port=", "a.bin"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "option --port needs a port, not an empty name"},
        ParseCase{"timeout_without_value", {"--timeout"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "option --timeout needs a number of seconds"},
        ParseCase{"timeout_zero", {"--timeout", "0", "a.bin"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "option --timeout needs a whole number of seconds from 1 to 2000000, not '0'"},
        ParseCase{"timeout_fraction", {"--timeout=1.5", "a.bin"}, no_env, command_wrong_use, "", "", port_built_in,
                  0, "option --timeout needs a whole number of seconds from 1 to 2000000, not '1.5'"},
        ParseCase{"timeout_negative", {"--timeout", "-3", "a.bin"}, no_env, command_wrong_use, "", "",
                  port_built_in, 0, "option --timeout needs a whole number of seconds from 1 to 2000000, not '-3'"},
        ParseCase{"timeout_too_long", {"--timeout", "99999999", "a.bin"}, no_env, command_wrong_use, "", "",
                  port_built_in, 0,
                  "option --timeout needs a whole number of seconds from 1 to 2000000, not '99999999'"},
        // Whatever follows them would be ignored.
        ParseCase{"help_with_a_file", {"--help", "fw.bin"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "--help takes no file or other argument: 'fw.bin'"},
        ParseCase{"version_with_another_option", {"-V", "--list"}, no_env, command_wrong_use, "", "", port_built_in,
                  0, "-V takes no file or other argument: '--list'"},
        ParseCase{"list_with_an_argument", {"--list", "x"}, no_env, command_wrong_use, "", "", port_built_in, 0,
                  "--list takes no file or other argument: 'x'"},
        // A malformed network address is refused before anything is opened.
        ParseCase{"remote_port_without_number", {"-p", "rfc2217://127.0.0.1", "a.bin"}, no_env, command_wrong_use,
                  "", "", port_built_in, 0, "no port number in 'rfc2217://127.0.0.1'"},
        ParseCase{"remote_port_out_of_range", {"--port=rfc2217://host:99999", "a.bin"}, no_env, command_wrong_use,
                  "", "", port_built_in, 0, "port 99999 is out of range"},
        ParseCase{"remote_port_from_the_environment", {"a.bin"}, "RFC2217://host:0", command_wrong_use, "", "",
                  port_built_in, 0, "port 0 is out of range (PELKRON_PORT)"}),
    [](const auto& info) { return std::string(info.param.name); });

// Windows users ask with "/?"; elsewhere that is a path like any other.
TEST(HelpSwitch, IsHelpWhereThePlatformHasOneAndAFileElsewhere) {
    struct Case {
        std::vector<const char*> arguments;
        const char* help_switch;
        CommandAction action;
        const char* file;
    };
    const Case cases[] = {
        {{"/?"}, "/?", command_help, ""},
        {{"-p", "COM7", "/?"}, "/?", command_help, ""},
        {{"/?", "fw.bin"}, "/?", command_wrong_use, ""},  // as with --help: the file would not be sent
        {{"--", "/?"}, "/?", command_upload, "/?"},
        {{"/?"}, nullptr, command_upload, "/?"},
        {{"/h"}, "/?", command_upload, "/h"},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = {"pelkron"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const CommandLine command =
            parse_command_line(static_cast<int>(argv.size()), argv.data(), nullptr, "COM6", c.help_switch);
        EXPECT_EQ(command.action, c.action) << argv.back();
        EXPECT_EQ(command.file, c.file) << argv.back();
    }
}

// ------------------------------------------------------ network addresses

struct AddressCase {
    const char* name;
    const char* address;
    const char* host;     // when it is well formed
    const char* service;
    const char* problem;  // when it is not
};

void PrintTo(const AddressCase& c, std::ostream* out) { *out << c.name; }

class RemoteAddressParsing : public ::testing::TestWithParam<AddressCase> {};

TEST_P(RemoteAddressParsing, GivesHostAndPortOrSaysWhatIsWrong) {
    const AddressCase& c = GetParam();
    RemoteAddress address;
    std::string problem;
    const bool parsed = parse_remote_address(c.address, address, problem);
    EXPECT_TRUE(is_remote_port_name(c.address));
    EXPECT_EQ(problem, c.problem);
    EXPECT_EQ(parsed, *c.problem == '\0');
    if (parsed) {
        EXPECT_EQ(address.host, c.host);
        EXPECT_EQ(address.service, c.service);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoteAddressParsing,
    ::testing::Values(
        AddressCase{"host_name", "rfc2217://lab-rack-3:7001", "lab-rack-3", "7001", ""},
        AddressCase{"ipv4", "rfc2217://127.0.0.1:2217", "127.0.0.1", "2217", ""},
        AddressCase{"ipv6_in_brackets", "rfc2217://[fd00::17]:7002", "fd00::17", "7002", ""},
        AddressCase{"trailing_slash", "rfc2217://lab:7001/", "lab", "7001", ""},
        AddressCase{"scheme_in_any_case", "Rfc2217://lab:7001", "lab", "7001", ""},
        AddressCase{"leading_zeros", "rfc2217://lab:07001", "lab", "7001", ""},
        AddressCase{"highest_port", "rfc2217://lab:65535", "lab", "65535", ""},
        AddressCase{"no_port_number", "rfc2217://127.0.0.1", "", "", "no port number in 'rfc2217://127.0.0.1'"},
        AddressCase{"colon_without_number", "rfc2217://lab:", "", "", "no port number in 'rfc2217://lab:'"},
        AddressCase{"nothing_at_all", "rfc2217://", "", "", "no host in 'rfc2217://'"},
        AddressCase{"no_host", "rfc2217://:7001", "", "", "no host in 'rfc2217://:7001'"},
        AddressCase{"empty_brackets", "rfc2217://[]:7001", "", "", "no host in 'rfc2217://[]:7001'"},
        AddressCase{"port_zero", "rfc2217://lab:0", "", "", "port 0 is out of range"},
        AddressCase{"port_too_high", "rfc2217://host:99999", "", "", "port 99999 is out of range"},
        AddressCase{"port_far_too_long", "rfc2217://host:123456789012345678901", "", "",
                    "port 123456789012345678901 is out of range"},
        AddressCase{"port_not_a_number", "rfc2217://lab:telnet", "", "",
                    "'telnet' is not a port number in 'rfc2217://lab:telnet'"},
        AddressCase{"path_after_the_port", "rfc2217://lab:7001/ttyS0", "", "",
                    "'7001/ttyS0' is not a port number in 'rfc2217://lab:7001/ttyS0'"},
        AddressCase{"ipv6_without_brackets", "rfc2217://fd00::17:7002", "", "",
                    "more than one ':' in 'rfc2217://fd00::17:7002' (an IPv6 address goes in brackets: "
                    "rfc2217://[ADDRESS]:PORT)"},
        AddressCase{"unclosed_bracket", "rfc2217://[fd00::17:7002", "", "",
                    "no ']' after the IPv6 address in 'rfc2217://[fd00::17:7002'"},
        AddressCase{"no_colon_after_bracket", "rfc2217://[fd00::17]7002", "", "",
                    "':' and the port number must follow the ']' in 'rfc2217://[fd00::17]7002'"},
        AddressCase{"bracket_without_port", "rfc2217://[fd00::17]", "", "",
                    "no port number in 'rfc2217://[fd00::17]'"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RemotePortName, IsOnlyTheSchemeInAnyCase) {
    EXPECT_TRUE(is_remote_port_name("RFC2217://x:1"));
    EXPECT_FALSE(is_remote_port_name("rfc2217:/x:1"));
    EXPECT_FALSE(is_remote_port_name("rfc2217"));
    EXPECT_FALSE(is_remote_port_name("/dev/ttyUSB0"));
    EXPECT_FALSE(is_remote_port_name("COM6"));
}

// ------------------------------------------------------------- the port list

class FakeSystem {
public:
    explicit FakeSystem(const testing_support::ScratchDir& scratch) : root_(scratch.path()) {}
    void folder(const std::string& path) const { run("mkdir -p '" + root_ + "/" + path + "'"); }
    void file(const std::string& path, const std::string& text) const {
        folder(path.substr(0, path.rfind('/')));
        std::ofstream(root_ + "/" + path) << text << "\n";
    }
    void link(const std::string& path, const std::string& target) const {
        folder(path.substr(0, path.rfind('/')));
        ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + path).c_str()), 0) << path;
    }

private:
    static void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
    std::string root_;
};

// An FTDI adapter on USB port BUS_PORT (1-1): its interface, its
// usb-serial port TTY and the by-id link udev makes for it.
void add_ftdi_adapter(const FakeSystem& system, const std::string& bus_port, const std::string& tty,
                      const std::string& serial) {
    const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/" + bus_port;
    system.file(usb + "/idVendor", "0403");
    system.file(usb + "/idProduct", "6001");
    system.file(usb + "/manufacturer", "FTDI");
    system.file(usb + "/product", "FT232R USB UART");
    system.file(usb + "/serial", serial);
    const std::string port = usb + "/" + bus_port + ":1.0/" + tty;
    system.folder(port + "/tty/" + tty);
    system.link(port + "/driver", "../../../../../../../bus/usb-serial/drivers/ftdi_sio");
    system.folder("sys/bus/usb-serial/drivers/ftdi_sio");
    system.link(port + "/tty/" + tty + "/device", "../../../" + tty);
    system.link("sys/class/tty/" + tty, "../../devices/pci0000:00/0000:00:14.0/usb1/" + bus_port + "/" + bus_port +
                                            ":1.0/" + tty + "/tty/" + tty);
    system.file("dev/" + tty, "");
    system.link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_" + serial + "-if00-port0", "../../" + tty);
}

// A PC with one UART, two phantom legacy ports, a virtual console, an FTDI
// adapter, and a USB modem whose device node is gone.
void make_pc(const FakeSystem& system) {
    // The UART, found by the 8250 driver through PNP.
    system.file("sys/devices/pnp0/00:04/tty/ttyS0/type", "4");
    system.link("sys/devices/pnp0/00:04/driver", "../../../bus/pnp/drivers/serial");
    system.folder("sys/bus/pnp/drivers/serial");
    system.link("sys/class/tty/ttyS0", "../../devices/pnp0/00:04/tty/ttyS0");
    system.link("sys/devices/pnp0/00:04/tty/ttyS0/device", "../../../00:04");
    system.file("dev/ttyS0", "");
    // Legacy names with no UART behind them.
    for (const char* name : {"ttyS1", "ttyS10"}) {
        const std::string base = std::string("sys/devices/platform/serial8250/tty/") + name;
        system.file(base + "/type", "0");
        system.link(base + "/device", "../../../serial8250");
        system.link(std::string("sys/class/tty/") + name, std::string("../../devices/platform/serial8250/tty/") + name);
        system.file(std::string("dev/") + name, "");
    }
    // A virtual console: no device behind it.
    system.folder("sys/devices/virtual/tty/tty1");
    system.link("sys/class/tty/tty1", "../../devices/virtual/tty/tty1");
    system.file("dev/tty1", "");
    add_ftdi_adapter(system, "1-1", "ttyUSB0", "A12345");
    // A modem that was unplugged: sysfs lags behind, /dev does not have it.
    const std::string modem = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    system.file(modem + "/idVendor", "2341");
    system.file(modem + "/idProduct", "0043");
    system.folder(modem + "/1-2:1.0/tty/ttyACM0");
    system.link(modem + "/1-2:1.0/tty/ttyACM0/device", "../../../1-2:1.0");
    system.link("sys/class/tty/ttyACM0", "../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/tty/ttyACM0");
}

std::vector<std::string> list_lines(const std::vector<SerialPortInfo>& ports) {
    std::vector<std::string> lines;
    for (const SerialPortInfo& port : ports) lines.push_back(port_list_line(port));
    return lines;
}

TEST(PortList, NamesOnlyPortsThatExistWithWhatTheSystemKnows) {
    testing_support::ScratchDir scratch;
    const FakeSystem system(scratch);
    make_pc(system);

    EXPECT_EQ(list_lines(port_list(scratch.path())),
              (std::vector<std::string>{
                  "/dev/ttyS0: serial",
                  "/dev/ttyUSB0: ftdi_sio, usb:0403:6001:A12345 (FTDI FT232R USB UART), "
                  "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0",
              }));
}

// -p usb:... on that PC, with the name the programs then open, or why none.
struct ResolveCase {
    const char* name;
    const char* port;       // as given
    bool second_adapter;    // a second FTDI adapter, serial B67890, on ttyUSB1
    const char* opened;     // the port it stands for; empty when it fails
    PortProblem problem;
    std::vector<const char*> candidates;
};

void PrintTo(const ResolveCase& c, std::ostream* out) { *out << c.name; }

class PortByIdentity : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(PortByIdentity, OpensTheOnePortWithThatIdentityOrSaysWhichThereAre) {
    const ResolveCase& c = GetParam();
    testing_support::ScratchDir scratch;
    const FakeSystem system(scratch);
    make_pc(system);
    if (c.second_adapter) add_ftdi_adapter(system, "1-3", "ttyUSB1", "B67890");

    std::string opened;
    PortFailure failure{port_no_problem, ""};
    const bool resolved = port_resolve(c.port, scratch.path(), opened, failure);

    EXPECT_EQ(resolved, std::string(c.opened) != "");
    if (resolved) {
        EXPECT_EQ(opened, c.opened);
        return;
    }
    EXPECT_EQ(failure.problem, c.problem);
    std::vector<std::string> candidates;
    for (const SerialPortInfo& port : failure.candidates) candidates.push_back(port.name + " " + usb_port_name(port.identity));
    EXPECT_EQ(candidates, std::vector<std::string>(c.candidates.begin(), c.candidates.end()));
}

INSTANTIATE_TEST_SUITE_P(
    FakeSys, PortByIdentity,
    ::testing::Values(
        ResolveCase{"vendor_and_product", "usb:0403:6001", false, "/dev/ttyUSB0", port_no_problem, {}},
        ResolveCase{"with_serial_in_any_case", "USB:0403:6001:a12345", false, "/dev/ttyUSB0", port_no_problem, {}},
        ResolveCase{"short_hex", "usb:403:6001", false, "/dev/ttyUSB0", port_no_problem, {}},
        ResolveCase{"other_names_unchanged", "/dev/ttyS0", false, "/dev/ttyS0", port_no_problem, {}},
        ResolveCase{"serial_picks_one_of_two", "usb:0403:6001:B67890", true, "/dev/ttyUSB1", port_no_problem, {}},
        ResolveCase{"two_alike", "usb:0403:6001", true, "", port_several_adapters,
                    {"/dev/ttyUSB0 usb:0403:6001:A12345", "/dev/ttyUSB1 usb:0403:6001:B67890"}},
        ResolveCase{"unplugged_adapter", "usb:2341:0043", false, "", port_no_adapter,
                    {"/dev/ttyUSB0 usb:0403:6001:A12345"}},
        ResolveCase{"wrong_serial", "usb:0403:6001:Z999", true, "", port_no_adapter,
                    {"/dev/ttyUSB0 usb:0403:6001:A12345", "/dev/ttyUSB1 usb:0403:6001:B67890"}},
        ResolveCase{"malformed", "usb:0403", false, "", port_bad_identity, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PortList, EmptyWhenTheMachineHasNone) {
    testing_support::ScratchDir scratch;
    const FakeSystem system(scratch);
    system.folder("sys/class/tty");
    system.folder("dev");
    EXPECT_EQ(port_list(scratch.path()).size(), 0u);
}

}  // namespace
