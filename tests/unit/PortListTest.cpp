// The serial port list read from fixture sysfs trees, and giving a COM
// number to an adapter that has none.
#include <gtest/gtest.h>

#include <filesystem>

#include "PortFixture.h"
#include "platform/PortList.h"

using testsupport::PortFixture;

namespace {

std::vector<std::string> Texts(const std::vector<SerialPortEntry>& list) {
    std::vector<std::string> texts;
    for (const auto& e : list) texts.push_back(e.text);
    return texts;
}

}  // namespace

TEST(PortList, OnBoardPortsInNumberOrderAndThePresentFilter) {
    PortFixture f;
    f.AddTty("ttyS10", "serial8250", 4);
    f.AddTty("ttyS0", "serial8250", 4);
    f.AddTty("ttyS1", "serial8250", 0);  // reserved slot, no UART behind it
    f.AddSerialCoreTty("ttyS2", "serial", 4);  // PnP flavour, behind the serial core's port
    f.AddPlainTty("tty0");
    f.AddPlainTty("ptmx");

    auto present = f.List(true, false);
    EXPECT_EQ(Texts(present), (std::vector<std::string>{
                                  "  1 -  COM1:  Communications Port (COM1)",
                                  "  2 -  COM3:  Communications Port (COM3)",
                                  "  3 - COM11:  Communications Port (COM11)",
                              }));
    EXPECT_EQ(present[0].portValue, 1);
    EXPECT_EQ(present[1].portValue, 3);
    EXPECT_EQ(present[2].portValue, 11);

    auto installed = f.List(false, false);
    ASSERT_EQ(installed.size(), 4u);
    EXPECT_EQ(installed[1].text, "  2 -  COM2:  Communications Port (COM2)");
    EXPECT_EQ(installed[1].portValue, 2);
    // The physical filter keeps every on-board port.
    EXPECT_EQ(f.List(false, true).size(), 4u);
}

TEST(PortList, AdaptersAndLinksAreVirtualUnlessTheirServiceIsSerialInAnyCase) {
    PortFixture f;
    f.AddTty("ttyS0", "serial8250", 4);
    f.AddTty("ttyS1", "SERIAL", 4);
    f.AddTty("ttyS2", "sErIaL", 4);
    f.AddTty("ttyUSB0", "ftdi_sio", std::nullopt, "FT232R USB UART");
    f.AddById("usb-FTDI_FT232R_A1-if00-port0", "ttyUSB0");
    f.AddLink("COM7", "../../dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0");
    f.AddLink("COM9", f.Dev("pts-3"));  // dangling until the pty exists

    auto all = f.List(false, false);
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[1].portValue, 2);
    EXPECT_EQ(all[2].portValue, 3);
    EXPECT_EQ(all[3].text, "  4 -  COM7:  FT232R USB UART on ttyUSB0 (COM7)");
    EXPECT_EQ(all[3].portValue, 7 + kVirtualPortMark);
    EXPECT_EQ(all[4].text, "  5 -  COM9:  Virtual Port (COM9) -> " + f.Dev("pts-3"));
    EXPECT_EQ(all[4].portValue, 9 + kVirtualPortMark);

    // A dangling link is installed but not present.
    EXPECT_EQ(f.List(true, false).size(), 4u);
    std::ofstream(f.Dev("pts-3")) << "";
    EXPECT_EQ(f.List(true, false).size(), 5u);

    auto physical = f.List(true, true);
    ASSERT_EQ(physical.size(), 3u);
    EXPECT_EQ(physical[2].text, "  3 -  COM3:  Communications Port (COM3)");

    // Accepting a virtual port hands back the plain number.
    EXPECT_EQ(AcceptPortEntry(all[3], f.roots), 7);

    // A link named after an on-board port takes its number; the port is
    // then listed without one and can be given another.
    f.AddLink("COM2", "/dev/null");
    auto shadowed = f.List(true, false);
    ASSERT_EQ(shadowed.size(), 6u);
    EXPECT_EQ(shadowed[1].text, "  2 -      :  Communications Port on ttyS1");
    EXPECT_EQ(shadowed[1].portValue, -1);
    EXPECT_EQ(shadowed[4].text, "  5 -  COM2:  Virtual Port (COM2) -> /dev/null");
    EXPECT_EQ(AcceptPortEntry(shadowed[1], f.roots), 4);
    EXPECT_EQ(f.LinkTarget("COM4"), f.Dev("ttyS1"));
}

TEST(PortList, AnAdapterWithoutANumberIsListedWithMinusOneUnderEveryFilter) {
    PortFixture f;
    f.AddTty("ttyACM0", "cdc_acm", std::nullopt, "Radio Modem");
    f.AddTty("ttyUSB3", "");  // no driver link: taken as a plain serial port
    for (bool physical : {false, true}) {
        auto list = f.List(true, physical);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0].text, "  1 -      :  Radio Modem on ttyACM0");
        EXPECT_EQ(list[0].portValue, -1);
        EXPECT_EQ(list[1].text, "  2 -      :  Serial Port on ttyUSB3");
        EXPECT_EQ(list[1].portValue, -1);
    }
}

TEST(PortList, PortValueFromTheFriendlyName) {
    SerialDeviceInfo seven{"Communications Port (COM7)", "Serial", std::nullopt, true, ""};
    EXPECT_EQ(PortValueOf(seven), 7);
    EXPECT_EQ(seven.portName, "COM7");

    // An explicit port name wins over the friendly name.
    SerialDeviceInfo named{"Thing (COM7)", std::nullopt, "COM12", true, ""};
    EXPECT_EQ(PortValueOf(named), 12);

    // "COM" is matched in upper case only; lower case is no number.
    SerialDeviceInfo lower{"Thing (com4)", "Serial", std::nullopt, true, ""};
    EXPECT_EQ(PortValueOf(lower), -1);
    EXPECT_FALSE(lower.portName);
    SerialDeviceInfo lowerName{std::nullopt, "Serial", "com4", true, ""};
    EXPECT_EQ(PortValueOf(lowerName), -1);

    // "COM" without digits is COM0, never marked, listed under every filter.
    std::vector<SerialPortEntry> list;
    AppendPortEntry(list, {"Odd (COM)", "vendor", std::nullopt, true, ""}, true);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].portValue, 0);
    EXPECT_EQ(list[0].text, "  1 -   COM:  Odd (COM)");

    // A vendor device without a number stays -1 (not 0xFFFF) and stays listed.
    AppendPortEntry(list, {"Modem", "vendor", std::nullopt, true, ""}, true);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].portValue, -1);
    EXPECT_EQ(list[1].text, "  2 -      :  Modem");

    // Neither name nor friendly name.
    AppendPortEntry(list, {std::nullopt, std::nullopt, std::nullopt, true, ""}, false);
    EXPECT_EQ(list[2].text, "  3 -      :  ");
}

TEST(PortList, PositionsPastNinetyNinePrintInFull) {
    std::vector<SerialPortEntry> list;
    for (int i = 0; i < 101; ++i)
        AppendPortEntry(list, {"P (COM5)", "Serial", std::nullopt, true, ""}, false);
    EXPECT_EQ(list[8].text, "  9 -  COM5:  P (COM5)");
    EXPECT_EQ(list[99].text, " 100 -  COM5:  P (COM5)");
}

TEST(PortList, AcceptingAnUnnumberedAdapterLinksItAboveTheOnBoardPorts) {
    PortFixture f;
    for (int k = 0; k < 4; ++k) f.AddTty("ttyS" + std::to_string(k), "serial8250", k == 0 ? 4 : 0);
    f.AddTty("ttyUSB0", "pl2303", std::nullopt, "USB-Serial Controller");
    f.AddTty("ttyUSB1", "ftdi_sio", std::nullopt, "FT232R USB UART");
    f.AddById("usb-Prolific_Controller-if00-port0", "ttyUSB0");
    f.AddLink("COM5", f.Dev("gone"));  // a taken number, even though dangling

    auto list = f.List(true, false);
    ASSERT_EQ(list.size(), 3u);
    ASSERT_EQ(list[1].portValue, -1);
    std::string error;
    EXPECT_EQ(AcceptPortEntry(list[1], f.roots, &error), 6) << error;
    EXPECT_EQ(f.LinkTarget("COM6"), f.Dev("serial/by-id/usb-Prolific_Controller-if00-port0"));

    // Without a stable name the link points at the node itself.
    EXPECT_EQ(AcceptPortEntry(list[2], f.roots), 7);
    EXPECT_EQ(f.LinkTarget("COM7"), f.Dev("ttyUSB1"));

    // From now on the adapters carry their numbers, marked virtual.
    auto again = f.List(true, false);
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(again[1].text, "  2 -  COM6:  USB-Serial Controller on ttyUSB0 (COM6)");
    EXPECT_EQ(again[1].portValue, 6 + kVirtualPortMark);
    EXPECT_EQ(again[2].portValue, 7 + kVirtualPortMark);
}

TEST(PortList, AcceptingFailsCleanlyWhenNoNumberCanBeGiven) {
    PortFixture f;
    f.AddTty("ttyUSB0", "ftdi_sio", std::nullopt, "FT232R USB UART");
    auto list = f.List(true, false);
    ASSERT_EQ(list.size(), 1u);

    // Unplugged between listing and accepting.
    std::filesystem::remove(f.Dev("ttyUSB0"));
    std::string error;
    EXPECT_EQ(AcceptPortEntry(list[0], f.roots, &error), -1);
    EXPECT_NE(error.find("not connected"), std::string::npos);

    // Every number taken.
    std::ofstream(f.Dev("ttyUSB0")) << "";
    for (int n = 1; n <= kHighestComNumber; ++n) f.AddLink("COM" + std::to_string(n), "x");
    EXPECT_EQ(AcceptPortEntry(list[0], f.roots, &error), -1);
    EXPECT_NE(error.find("taken"), std::string::npos);
}
