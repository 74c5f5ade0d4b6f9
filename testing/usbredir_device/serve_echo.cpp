#include "echo_device_model.h"
#include "served_models.h"

namespace usbredir {

ModelKind echoModelKind()
{
    return {"--echo", "--echo                      bulk OUT 0x02 comes back on bulk IN 0x81 (test device 1209:0001)",
            [](const std::vector<std::string> &args, ServedDevice &out, std::string &error) {
                if (!args.empty()) {
                    error = "--echo takes no options (got " + args.front() + ")";
                    return false;
                }
                auto model = std::make_unique<usbdev::EchoDeviceModel>();
                auto *echo = model.get();
                out.stats = [echo] { return "buffered=" + std::to_string(echo->buffered()); };
                out.setPresent = [echo](bool present) { present ? echo->plug() : echo->unplug(); };
                out.model = std::move(model);
                return true;
            }};
}

}  // namespace usbredir
