// The USB device browser, the detection texts and rules, the camera
// connection object, and the libusb backend on this machine.
#include "orvo/camera/src/mic/camera_mic_browser.h"
#include "orvo/camera/src/mic/camera_mic_cameradevice.h"
#include "orvo/camera/src/mic/camera_mic_detect.h"
#include "orvo/camera/src/mic/camera_mic_libusb.h"
#include "orvo/camera/src/mic/camera_mic_loopback.h"
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_clock.h"
#include "support/ptpsim/ptpsim_usb.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <memory>

using namespace orvo;

namespace
{
class MicLoopback : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(mic_loopback_initialise(backend)); }
    void TearDown() override
    {
        usb.clear();
        mic_backend_release(backend);
    }

    ptpsim::UsbCamera& Plug(ptpsim::Camera& camera, const std::string& product)
    {
        ptpsim::UsbOptions options;
        options.product = product;
        usb.push_back(std::make_unique<ptpsim::UsbCamera>(camera, backend, options));
        return *usb.back();
    }

    lumivane_test::LogCapture log;
    mic_backend_t backend = {};
    ptpsim::Camera first;
    ptpsim::Camera second;
    std::vector<std::unique_ptr<ptpsim::UsbCamera>> usb;
};
} // namespace

TEST_F(MicLoopback, BrowserFollowsArrivalsAndRemovals)
{
    MICBrowser browser(backend);
    EXPECT_FALSE(browser.Tick()); // not browsing yet
    Plug(first, "Camera A");
    browser.Start();
    EXPECT_TRUE(browser.IsBrowsing());
    EXPECT_TRUE(browser.Tick());
    EXPECT_FALSE(browser.Tick());
    ASSERT_EQ(browser.GetCameras().size(), 1u);
    EXPECT_EQ(browser.GetCameras()[0].product, "Camera A");
    EXPECT_TRUE(log.Contains("MIC device added: Camera A"));

    ptpsim::UsbCamera& b = Plug(second, "Camera B");
    EXPECT_TRUE(browser.Tick());
    EXPECT_FALSE(browser.Tick());
    ASSERT_EQ(browser.GetCameras().size(), 2u);
    EXPECT_EQ(browser.GetCameras()[1].product, "Camera B");
    EXPECT_TRUE(browser.IsConnected(b.info().id));

    b.unplug();
    EXPECT_FALSE(browser.Tick()); // removals never ask for a detection
    EXPECT_FALSE(browser.IsConnected(b.info().id));
    ASSERT_EQ(browser.GetCameras().size(), 1u);
    EXPECT_TRUE(log.Contains("MIC device removed: Camera B"));

    // Stopped, it sees nothing new.
    browser.Stop();
    Plug(second, "Camera C");
    EXPECT_FALSE(browser.Tick());
    EXPECT_EQ(browser.GetCameras().size(), 1u);
}

TEST_F(MicLoopback, BrowserWithoutHotplugListsEveryTwoSeconds)
{
    ptpsim::TestClock clock;
    backend.hotplug = false;
    MICBrowser browser(backend);
    browser.Start();
    EXPECT_FALSE(browser.Tick());
    Plug(first, "Camera A");
    clock.advance_ms(1999);
    EXPECT_FALSE(browser.Tick());
    EXPECT_TRUE(browser.GetCameras().empty());
    clock.advance_ms(2);
    EXPECT_TRUE(browser.Tick());
    EXPECT_EQ(browser.GetCameras().size(), 1u);
    usb.back()->unplug();
    clock.advance_ms(2001);
    EXPECT_FALSE(browser.Tick());
    EXPECT_TRUE(browser.GetCameras().empty());
}

TEST_F(MicLoopback, BrowserWithoutDevicesSaysSo)
{
    MICBrowser browser(backend);
    browser.Start();
    EXPECT_FALSE(browser.Tick());
    EXPECT_TRUE(browser.GetCameras().empty());
    EXPECT_TRUE(log.Contains("No USB camera attached"));
}

TEST_F(MicLoopback, CameraDeviceConnectsSendsAndNoticesRemoval)
{
    ptpsim::UsbCamera& usbcamera = Plug(first, "Camera A");
    mtp_device_t device = {};
    ASSERT_TRUE(mtp_device_initialise(device, nullptr, {}));
    {
        MICCameraDevice camera(backend, usbcamera.info(), &device);
        EXPECT_EQ(camera.Execute(0x100E, nullptr, 0), 0x2003); // not connected: nothing is sent
        EXPECT_TRUE(usbcamera.commands().empty());
        ASSERT_TRUE(camera.Connect());
        EXPECT_TRUE(camera.Connect()); // already connected
        EXPECT_TRUE(log.Contains("MIC camera ready: Camera A"));

        mtp_buffer_t buffer;
        mtp_buffer_initialise(buffer);
        const u32 code = ptpsim::kPropFNumber;
        EXPECT_EQ(camera.Read(ptpsim::kOpGetDevicePropValue, &code, 1, buffer), 0x2001);
        EXPECT_EQ(buffer.length, 2u);
        // A write with an empty buffer sends no data phase.
        mtp_buffer_t empty;
        mtp_buffer_initialise(empty);
        EXPECT_EQ(camera.Write(ptpsim::kOpInitiateCapture, nullptr, 0, empty), 0x2001);
        EXPECT_TRUE(usbcamera.last_data_out().empty());

        // The capture announced its photo: ObjectAdded and CaptureComplete.
        usbcamera.drain_events();
        EXPECT_EQ(camera.GetTransport().events_delivered.load(), 2u);
        first.send_event(ptpsim::kEvStoreFull);
        usbcamera.drain_events();
        EXPECT_EQ(camera.GetTransport().events_delivered.load(), 3u);

        usbcamera.unplug();
        EXPECT_EQ(camera.Read(ptpsim::kOpGetDevicePropValue, &code, 1, buffer), 0x2002);
        EXPECT_FALSE(camera.IsConnected());
        EXPECT_EQ(camera.Read(ptpsim::kOpGetDevicePropValue, &code, 1, buffer), 0x2002);
        EXPECT_EQ(buffer.length, 0u);
        mtp_buffer_release(buffer);
    }
    mtp_device_release(device);
}

TEST_F(MicLoopback, CameraHeldByAnotherProgramConnectsFalseAndSaysHowToReleaseIt)
{
    ptpsim::UsbCamera& usbcamera = Plug(first, "Camera A");
    usbcamera.set_busy(true);
    MICCameraDevice camera(backend, usbcamera.info(), nullptr);
    EXPECT_FALSE(camera.Connect());
    EXPECT_FALSE(camera.IsConnected());
    EXPECT_TRUE(log.Contains("held by another program"));
    EXPECT_TRUE(log.Contains("unmount the camera"));
    EXPECT_TRUE(usbcamera.commands().empty());
    usbcamera.set_busy(false);
    EXPECT_TRUE(camera.Connect());
}

TEST_F(MicLoopback, CameraDeviceClosesTheSessionOnDisconnect)
{
    ptpsim::UsbCamera& usbcamera = Plug(first, "Camera A");
    MICCameraDevice camera(backend, usbcamera.info(), nullptr);
    ASSERT_TRUE(camera.Connect());
    EXPECT_TRUE(usbcamera.session_open());
    camera.Disconnect();
    EXPECT_FALSE(usbcamera.session_open());
    EXPECT_TRUE(log.Contains("Closed session to MIC camera: Camera A"));
    EXPECT_EQ(camera.Execute(0x100E, nullptr, 0), 0x2003);
    // Reconnecting opens a new session whose ids start again at 1.
    ASSERT_TRUE(camera.Connect());
    EXPECT_EQ(camera.Execute(ptpsim::kOpInitiateCapture, nullptr, 0), 0x2001);
    EXPECT_EQ(usbcamera.commands().back().transaction, 1u);
    EXPECT_TRUE(usbcamera.violations().empty()) << usbcamera.violations().front();
}

TEST(MicDetect, Texts)
{
    EXPECT_STREQ(mic_devicetype_to_cstr(0x101), "Camera");
    EXPECT_STREQ(mic_devicetype_to_cstr(0x3), "Camera");
    EXPECT_STREQ(mic_devicetype_to_cstr(0x2), "Scanner");
    EXPECT_STREQ(mic_devicetype_to_cstr(0x100), "unknown");
    EXPECT_STREQ(mic_locationtype_to_cstr(0x101), "Local");
    EXPECT_STREQ(mic_locationtype_to_cstr(0x600), "Shared");
    EXPECT_STREQ(mic_locationtype_to_cstr(0x400), "Bonjour");
    EXPECT_STREQ(mic_locationtype_to_cstr(0x800), "Bluetooth");
    EXPECT_STREQ(mic_locationtype_to_cstr(0x1), "unknown");
}

TEST(MicDetect, StatusRulesInOrder)
{
    struct Case
    {
        const char* why;
        bool connected;
        const char* name;
        u32 type;
        bool ptp;
        bool native;
        bool already;
        const char* status;
    };
    const Case cases[] = {
        {"gone since the listing", false, "EOS 5D", 0x101, true, false, false, "Not connected"},
        {"a native driver wins over everything else", true, "RICOH THETA V", 0x101, true, true, true,
         "Ignored (has native driver support)"},
        {"a scanner", true, "Scanner", 0x102, true, false, false, "Ignored (not camera device)"},
        {"a camera without PTP", true, "Camera", 0x101, false, false, false, "Ignored (not PTP camera device)"},
        {"found again", true, "RICOH THETA S", 0x101, true, false, true, "Already detected"},
        {"THETA in capitals", true, "RICOH THETA V", 0x101, true, false, false, "Ignored (unsupported camera device)"},
        {"theta in any case, anywhere", true, "my-tHeTa", 0x101, true, false, false,
         "Ignored (unsupported camera device)"},
        {"THET is not THETA", true, "THET A", 0x101, true, false, false, "Newly detected"},
        {"an ordinary camera", true, "Canon EOS 5D Mark III", 0x101, true, false, false, "Newly detected"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        EXPECT_STREQ(mic_detect_status_to_cstr(mic_detect_classify(c.connected, c.name, c.type, c.ptp, c.native,
                                                                   c.already)),
                     c.status);
    }
}

TEST(MicDetect, LogBlock)
{
    lumivane_test::LogCapture log;
    mic_detect_log_device(3, "Camera A", "Camera", "Local", "USB", "Newly detected");
    std::vector<std::string> lines = log.Lines();
    ASSERT_GE(lines.size(), 6u);
    size_t n = lines.size();
    EXPECT_NE(lines[n - 6].find("MIC device: 3"), std::string::npos);
    EXPECT_EQ(lines[n - 5], "Name:       Camera A");
    EXPECT_EQ(lines[n - 4], "Type:       Camera");
    EXPECT_EQ(lines[n - 3], "Location:   Local");
    EXPECT_EQ(lines[n - 2], "Transport:  USB");
    EXPECT_EQ(lines[n - 1], "Status:     Newly detected");
}

// On the build machines no camera is attached: libusb starts, lists, finds
// none and says so, and nothing is logged as an error. Where a camera is
// attached, every device listed is a complete still-image interface.
TEST(MicLibusb, InitialisesAndEnumerates)
{
    lumivane_test::LogCapture log;
    mic_backend_t backend = {};
    ASSERT_TRUE(mic_libusb_initialise(backend));
    EXPECT_TRUE(log.Contains("libusb"));
    std::vector<mic_usbinfo_t> devices;
    ASSERT_TRUE(backend.list(backend.user, devices));
    for (const mic_usbinfo_t& device : devices)
    {
        EXPECT_NE(device.bulk_in & 0x80, 0);
        EXPECT_EQ(device.bulk_out & 0x80, 0);
        EXPECT_NE(device.interrupt_in & 0x80, 0);
        EXPECT_GT(device.bulk_packet_size, 0);
    }
    {
        MICBrowser browser(backend);
        browser.Start();
        EXPECT_EQ(browser.GetCameras().size(), devices.size());
        if (devices.empty())
        {
            EXPECT_TRUE(log.Contains("No USB camera attached (libusb)"));
        }
        browser.Tick();
    }
    mic_backend_release(backend);
    EXPECT_FALSE(log.Contains(" Error]"));
}
