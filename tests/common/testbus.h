// A simulated bus for station tests: a fresh bus folder and library root in a
// temporary directory, made current through the environment for this process.
#pragma once

#include <string>
#include <vector>

#include "simbus/bus.h"

namespace testbus {

class TestBus {
  public:
    TestBus();   // creates the folders and sets SARNIK_SIM_BUS and SARNIK_ROOT
    ~TestBus();  // removes them
    simbus::Bus& bus() { return bus_; }
    const std::string& root() const { return root_; }  // scratch folder of the test
    // Plugs a device and returns its id.
    std::string Plug(const simbus::PlugOptions& opts = {});
    // The device's trace lines (CDB hex first on each line).
    std::vector<std::string> Trace(const std::string& id) const;
    // Opcodes (CDB byte 0) of the traced commands, in order.
    std::vector<int> Opcodes(const std::string& id) const;

  private:
    std::string root_;
    simbus::Bus bus_;
};

// Writes a file (parents created).
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace testbus
