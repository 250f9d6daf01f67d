#include "host/tool/builtin_panel.h"

#include "host/tool/demo_memory.h"
#include "sim/panel_sim.h"

namespace zulhost {
namespace {

class SimulatedPanel : public BuiltInPanel {
public:
    SimulatedPanel(zulsim::Options options, std::unique_ptr<zultrace::PcapWriter> pcap)
        : pcap_(std::move(pcap)), sim_(std::move(options)) {}
    bool Start(std::string* error) {
        for (const MemoryBlock& block : DemoMemory()) sim_.SetBytes(block.address, block.bytes);
        return sim_.Start(error);
    }
    const std::string& DevicePath() const override { return sim_.DevicePath(); }
    std::vector<std::uint8_t> Bytes(std::uint32_t address, std::size_t count) const override {
        return sim_.GetBytes(address, count);
    }

private:
    std::unique_ptr<zultrace::PcapWriter> pcap_; // before the simulator, which writes to it until it stops
    zulsim::PanelSim sim_;
};

} // namespace

std::unique_ptr<BuiltInPanel> StartBuiltInPanel(const PanelSetup& setup, std::string* error) {
    zulsim::Options options;
    options.trace = setup.trace;
    if (setup.traceSink) options.traceSink = setup.traceSink;
    std::unique_ptr<zultrace::PcapWriter> pcap;
    if (!setup.pcapPath.empty()) {
        pcap = std::make_unique<zultrace::PcapWriter>();
        std::string why;
        if (!pcap->Open(setup.pcapPath, &why)) {
            *error = why;
            return nullptr;
        }
        zultrace::PcapWriter* writer = pcap.get();
        options.lineTap = [writer](zultrace::Direction d, const std::uint8_t* bytes, std::size_t n) {
            writer->Record(d, bytes, n);
        };
    }
    auto panel = std::make_unique<SimulatedPanel>(std::move(options), std::move(pcap));
    std::string why;
    if (!panel->Start(&why)) {
        *error = "the built-in panel could not start: " + (why.empty() ? std::string("unknown error") : why);
        return nullptr;
    }
    return panel;
}

} // namespace zulhost
