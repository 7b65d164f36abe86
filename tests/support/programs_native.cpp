// The programs under test: builds of pelkron and pelkron2 whose port is a
// link in the build folder, where the simulated device puts its line.
#include "tests/support/upload.h"

namespace testing_support {

std::vector<Program> programs_under_test() {
    Program stream;
    stream.label = "pelkron";
    stream.name = "pelkron";
    stream.invocation = PELKRON_UNDER_TEST;
    stream.command = {PELKRON_UNDER_TEST};
    stream.port_link = PORT_UNDER_TEST;
    stream.built_in_port = PORT_UNDER_TEST;
    const std::string folder = std::string(PORT_UNDER_TEST).substr(0, std::string(PORT_UNDER_TEST).rfind('/') + 1);
    stream.other_ports = {{folder + "ttyOther7", folder + "ttyOther7"}, {folder + "ttyOther12", folder + "ttyOther12"}};

    Program block = stream;
    block.label = "pelkron2";
    block.name = "pelkron2";
    block.invocation = PELKRON2_UNDER_TEST;
    block.command = {PELKRON2_UNDER_TEST};
    block.block = true;
    return {stream, block};
}

}  // namespace testing_support
