// Module and device lifecycle of the linked-in driver: load and unload (refused while a
// stream is open), a load whose filter set cannot be made, the DDI entry points, clone minors
// and the open routine's refusals.
#include "module_fixture.h"

#include "faults.h"
#include "modules.h"
#include "nvxmain.h"
#include "nvxput.h"

#include <sys/modctl.h>

#include <algorithm>
#include <cstring>
#include <thread>

using namespace modtest;
using namespace platform::streams;

class Lifecycle : public ModuleTest
{
};

TEST_F(Lifecycle, UnloadIsRefusedWhileAnyStreamIsOpen)
{
    add_nic("lfa", 1);
    auto *ip = plumb("lfa0", "ip"); // a module instance of nvx
    ASSERT_TRUE(ip);
    EXPECT_EQ(platform::modules::unload("nvx"), EBUSY);
    unplumb(ip);
    auto f = open_nvx(); // a device stream
    EXPECT_EQ(platform::modules::unload("nvx"), EBUSY);
    EXPECT_TRUE(platform::modules::loaded("nvx"));
    f.reset();
    EXPECT_EQ(platform::modules::unload("nvx"), 0);
    EXPECT_FALSE(platform::modules::loaded("nvx"));
    EXPECT_EQ(open("/dev/nvx", FREAD | FWRITE, kSensor, &f), ENOENT);
    // Loaded again: banner, fresh adapter table and settings.
    (void)console();
    ASSERT_EQ(
        platform::modules::load_builtin("nvx", nvx_linked_init, nvx_linked_fini, nvx_linked_info),
        0);
    const std::string log = console();
    EXPECT_TRUE(contains(log, "Quillmarch Packet Capture Driver Version 1.8\nBuilt at ")) << log;
    EXPECT_STREQ(ppaList[0].info.devicename, NVX_UNKNOWN_PPA);
    struct modinfo mi;
    ASSERT_NE(platform::modules::info("nvx", &mi), 0);
    EXPECT_STREQ(mi.mi_msinfo[0].msi_linkinfo, "QM PacketCapture Module 1.8");
    EXPECT_STREQ(mi.mi_msinfo[1].msi_linkinfo, "QM PacketCapture Driver 1.8");
}

TEST_F(Lifecycle, LoadWhoseFilterSetCannotBeMadeLeavesNothingInstalled)
{
    ASSERT_EQ(platform::modules::unload("nvx"), 0);
    {
        platform::faults::Scope scope;
        platform::faults::fail_nth(platform::faults::Kind::kmem_nosleep, 1); // the filter pool
        EXPECT_NE(platform::modules::load_builtin("nvx", nvx_linked_init, nvx_linked_fini,
                                                  nvx_linked_info),
                  0);
    }
    EXPECT_FALSE(platform::modules::loaded("nvx"));
    FilePtr f;
    EXPECT_EQ(open("/dev/nvx", FREAD | FWRITE, kSensor, &f), ENOENT);
    const auto paths = platform::ddi::device_paths();
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "/dev/nvx"), 0);
    // Nothing was left behind that stops a later load.
    ASSERT_EQ(
        platform::modules::load_builtin("nvx", nvx_linked_init, nvx_linked_fini, nvx_linked_info),
        0);
    f = open_nvx();
    EXPECT_TRUE(f);
}

TEST_F(Lifecycle, DeviceConfigurationEntryPoints)
{
    void *result = reinterpret_cast<void *>(1);
    EXPECT_EQ(nvx_getinfo(nullptr, DDI_INFO_DEVT2DEVINFO, nullptr, &result), DDI_SUCCESS);
    EXPECT_EQ(result, nvx_dip);
    EXPECT_NE(nvx_dip, nullptr);
    EXPECT_EQ(nvx_getinfo(nullptr, DDI_INFO_DEVT2INSTANCE, nullptr, &result), DDI_SUCCESS);
    EXPECT_EQ(result, nullptr);
    (void)console();
    EXPECT_EQ(nvx_getinfo(nullptr, static_cast<ddi_info_cmd_t>(7), nullptr, &result), DDI_FAILURE);
    EXPECT_TRUE(contains(console(), "nvx_getinfo: unknown cmd 7\n"));
    EXPECT_EQ(nvx_attach(nvx_dip, DDI_RESUME), DDI_FAILURE);
    EXPECT_TRUE(contains(console(), "nvx_attach: unknown cmd 1\n"));
    EXPECT_EQ(nvx_detach(nvx_dip, DDI_SUSPEND), DDI_FAILURE);
    EXPECT_TRUE(contains(console(), "nvx_detach: unknown cmd 1\n"));
    // A second node of the same name cannot be made: attach fails with its message.
    EXPECT_EQ(nvx_attach(nvx_dip, DDI_ATTACH), DDI_FAILURE);
    EXPECT_TRUE(contains(console(), "nvx_attach:error creating device node\n"));
    // (That failure removed the instance's nodes: put the node back for the unload.)
    EXPECT_EQ(nvx_attach(nvx_dip, DDI_ATTACH), DDI_SUCCESS);
    auto f = open_nvx();
    EXPECT_TRUE(f);
}

TEST_F(Lifecycle, CloneOpensTakeTheLowestFreeMinor)
{
    auto m0 = open_nvx();
    auto m1 = open_nvx();
    auto m2 = open_nvx();
    EXPECT_EQ(getminor(m0->dev()), 0u);
    EXPECT_EQ(getminor(m1->dev()), 1u);
    EXPECT_EQ(getminor(m2->dev()), 2u);
    m1.reset();
    auto again = open_nvx();
    EXPECT_EQ(getminor(again->dev()), 1u);
    auto next = open_nvx();
    EXPECT_EQ(getminor(next->dev()), 3u);

    // Opens racing from several threads never share a minor.
    std::vector<FilePtr> files(8);
    std::vector<std::thread> threads;
    for (auto &slot : files)
        threads.emplace_back([&slot] {
            FilePtr f;
            if (open("/dev/nvx", FREAD | FWRITE, kSensor, &f) == 0)
                slot = std::move(f);
        });
    for (auto &t : threads)
        t.join();
    std::vector<minor_t> minors;
    for (auto &f : files) {
        ASSERT_TRUE(f);
        minors.push_back(getminor(f->dev()));
    }
    std::sort(minors.begin(), minors.end());
    EXPECT_EQ(std::adjacent_find(minors.begin(), minors.end()), minors.end());
    EXPECT_EQ(minors.front(), 4u);
    EXPECT_EQ(minors.back(), 11u);
}

TEST_F(Lifecycle, OpenRefusalsAndReopen)
{
    (void)console();
    {
        platform::faults::Scope scope;
        platform::faults::fail_always(platform::faults::Kind::kmem_nosleep);
        FilePtr f;
        EXPECT_EQ(open("/dev/nvx", FREAD | FWRITE, kSensor, &f), ENOMEM);
    }
    EXPECT_TRUE(contains(console(), "nvx_open: Failed to alloc memory for binding struct: q "));
    rw_enter(&nvx_bindlock, RW_READER);
    EXPECT_EQ(BindingList, nullptr);
    rw_exit(&nvx_bindlock);

    // A re-open of an open stream (q_ptr set) allocates nothing and changes nothing.
    auto f = open_nvx();
    queue_t *rq = RD(f->head_wq()->q_next);
    void *before = rq->q_ptr;
    dev_t dev = f->dev();
    {
        platform::faults::Scope scope;
        platform::faults::fail_always(platform::faults::Kind::kmem_nosleep);
        EXPECT_EQ(nvx_open(rq, &dev, FREAD, CLONEOPEN, nullptr), 0);
    }
    EXPECT_EQ(rq->q_ptr, before);
    EXPECT_EQ(dev, f->dev());
}

TEST_F(Lifecycle, ModuleInstanceThatNeverBoundClosesCleanly)
{
    add_nic("lfb", 1);
    FilePtr raw;
    ASSERT_EQ(open("/dev/lfb0", FREAD | FWRITE, kSensor, &raw), 0);
    std::vector<std::string> names;
    ASSERT_EQ(raw->list(&names), 0);
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[0], "nvx"); // autopushed
    raw.reset();
    EXPECT_STREQ(ppaList[0].info.devicename, NVX_UNKNOWN_PPA);
    EXPECT_FALSE(contains(console(), "not on list"));
}
