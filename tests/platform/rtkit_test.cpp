// rtkit_test.cpp - real time from RealtimeKit, against a bus and a service of the test's own:
// a private dbus-daemon stands in for the system bus (DBUS_SYSTEM_BUS_ADDRESS points at it)
// and a thread of the test answers as the service. Granted, refused, answers that grant
// nothing, the run-time limit, no service, no bus; and the thread calls asking it when
// SCHED_FIFO is refused.
#include "platform/rtkit.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/threads.h"
#include "tests/platform/open_fds.h"
#include "tests/platform/refusals.h"

namespace {

const char* const Service = "org.freedesktop.RealtimeKit1";

// How the stand-in answers a property read: as the service does, or in ways a client must
// not take for an answer.
enum class Reply { Integer, Error, Empty, NotAVariant, NotAnInteger };

// The stand-in service: the two properties the client reads, and MakeThreadRealtime, which it
// records and grants, or refuses while refuse is set.
struct FakeService {
    std::atomic<bool> stop{false}, refuse{false}, ready{false};
    std::atomic<uint64_t> tid{0};
    std::atomic<uint32_t> priority{0};
    std::atomic<int> asked{0};  // MakeThreadRealtime calls
    std::atomic<int32_t> most{20};
    std::atomic<int64_t> bound{200000};
    std::atomic<Reply> mostReply{Reply::Integer}, boundReply{Reply::Integer};
    std::thread thread;

    DBusMessage* Property(DBusMessage* m, const std::string& name) {
        bool isMost = name == "MaxRealtimePriority";
        Reply how = isMost ? mostReply.load() : boundReply.load();
        if (how == Reply::Error)
            return dbus_message_new_error(m, DBUS_ERROR_UNKNOWN_PROPERTY, "no such property");
        DBusMessage* reply = dbus_message_new_method_return(m);
        DBusMessageIter it, variant;
        dbus_message_iter_init_append(reply, &it);
        dbus_int32_t mostValue = most.load();
        dbus_int64_t boundValue = bound.load();
        if (how == Reply::NotAVariant) {
            dbus_message_iter_append_basic(&it, DBUS_TYPE_INT32, &mostValue);
        } else if (how == Reply::NotAnInteger) {
            const char* text = "twenty";
            dbus_message_iter_open_container(&it, DBUS_TYPE_VARIANT, "s", &variant);
            dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &text);
            dbus_message_iter_close_container(&it, &variant);
        } else if (how == Reply::Integer) {
            dbus_message_iter_open_container(&it, DBUS_TYPE_VARIANT, isMost ? "i" : "x", &variant);
            if (isMost)
                dbus_message_iter_append_basic(&variant, DBUS_TYPE_INT32, &mostValue);
            else
                dbus_message_iter_append_basic(&variant, DBUS_TYPE_INT64, &boundValue);
            dbus_message_iter_close_container(&it, &variant);
        }
        return reply;
    }
    void Answer(DBusConnection* c, DBusMessage* m) {
        DBusMessage* reply = nullptr;
        if (dbus_message_is_method_call(m, "org.freedesktop.DBus.Properties", "Get")) {
            const char *interface = "", *name = "";
            dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &name,
                                  DBUS_TYPE_INVALID);
            reply = Property(m, name);
        } else if (dbus_message_is_method_call(m, Service, "MakeThreadRealtime")) {
            dbus_uint64_t t = 0;
            dbus_uint32_t p = 0;
            dbus_message_get_args(m, nullptr, DBUS_TYPE_UINT64, &t, DBUS_TYPE_UINT32, &p,
                                  DBUS_TYPE_INVALID);
            tid.store(t);
            priority.store(p);
            asked.fetch_add(1);
            reply = refuse.load() ? dbus_message_new_error(m, DBUS_ERROR_ACCESS_DENIED,
                                                           "not in an active session")
                                  : dbus_message_new_method_return(m);
        }
        if (reply != nullptr) {
            dbus_connection_send(c, reply, nullptr);
            dbus_message_unref(reply);
        }
    }
    // Connects to the bus and takes the service's name; false when it could not. The daemon
    // may have bound its socket before it listens: a refused connection is tried again.
    bool Start(const std::string& address) {
        std::atomic<bool> up{false};
        thread = std::thread([this, address, &up] {
            DBusConnection* c = nullptr;
            for (int i = 0; i < 200 && c == nullptr; ++i) {
                c = dbus_connection_open_private(address.c_str(), nullptr);
                if (c == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            bool named = c != nullptr && dbus_bus_register(c, nullptr) &&
                         dbus_bus_request_name(c, Service, DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr) ==
                             DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
            up.store(named);
            ready.store(true);
            while (named && !stop.load() && dbus_connection_read_write(c, 20))
                while (DBusMessage* m = dbus_connection_pop_message(c)) {
                    Answer(c, m);
                    dbus_message_unref(m);
                }
            if (c != nullptr) {
                dbus_connection_close(c);
                dbus_connection_unref(c);
            }
        });
        while (!ready.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return up.load();
    }
    ~FakeService() {
        stop.store(true);
        if (thread.joinable()) thread.join();
    }
};

// True once something listens on the socket at path: the daemon binds its socket a moment
// before it listens, and a connection between the two is refused.
bool Listens(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::snprintf(where.sun_path, sizeof where.sun_path, "%s", path.c_str());
    bool listens = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    if (fd >= 0) close(fd);
    return listens;
}

class Rtkit : public testing::Test {
   protected:
    void SetUp() override {
        char pattern[] = "/tmp/oplbench-rtkit.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        address = "unix:path=" + dir + "/bus";
        FILE* config = fopen((dir + "/bus.conf").c_str(), "w");
        ASSERT_NE(config, nullptr);
        fprintf(config,
                "<busconfig><type>session</type><listen>%s</listen><auth>EXTERNAL</auth>"
                "<policy context=\"default\"><allow send_destination=\"*\"/><allow "
                "receive_sender=\"*\"/>"
                "<allow own=\"*\"/></policy></busconfig>\n",
                address.c_str());
        fclose(config);
        daemon = fork();
        if (daemon == 0) {
            execlp("dbus-daemon", "dbus-daemon", "--nofork", "--nopidfile",
                   ("--config-file=" + dir + "/bus.conf").c_str(), nullptr);
            _exit(127);
        }
        for (int i = 0; i < 200 && !Listens(dir + "/bus"); ++i) {
            if (waitpid(daemon, nullptr, WNOHANG) == daemon) {
                daemon = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (daemon == -1 || !Listens(dir + "/bus"))
            GTEST_SKIP() << "no dbus-daemon to stand in for the system bus";
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        getrlimit(RLIMIT_RTTIME, &savedRunLimit);
    }
    void TearDown() override {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        RefuseGetRlimit.store(false);
        RefuseSetRlimit.store(false);
        FailDbusCallNth.store(0);
        setrlimit(RLIMIT_RTTIME, &savedRunLimit);  // raising it back takes privilege; else kept
        if (daemon > 0) {
            kill(daemon, SIGTERM);
            waitpid(daemon, nullptr, 0);
        }
        std::system(("rm -rf " + dir).c_str());
    }
    std::string dir, address;
    pid_t daemon = -1;
    rlimit savedRunLimit{};
};

pid_t Tid() {
    return pid_t(syscall(SYS_gettid));
}

TEST_F(Rtkit, TheServiceGrantsOrRefusesAndItsAbsenceIsSaid) {
    std::string why;
    // The bus answers that nobody provides the service.
    EXPECT_FALSE(RtkitMakeThreadRealtime(Tid(), 99, &why));
    EXPECT_NE(why.find(Service), std::string::npos) << why;

    FakeService service;
    ASSERT_TRUE(service.Start(address));
    // Granted: at the most the service allows, with the run-time bound it asks for in place.
    EXPECT_TRUE(RtkitMakeThreadRealtime(Tid(), 99, &why)) << why;
    EXPECT_EQ(service.tid.load(), uint64_t(Tid()));
    EXPECT_EQ(service.priority.load(), 20u);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_RTTIME, &limit), 0);
    EXPECT_LE(limit.rlim_max, 200000u);
    EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
    // Refused: the service's words come back.
    service.refuse.store(true);
    why.clear();
    EXPECT_FALSE(RtkitMakeThreadRealtime(Tid(), 5, &why));
    EXPECT_EQ(service.priority.load(), 5u);
    EXPECT_EQ(why, "not in an active session");

    // No bus at all.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir + "/nothing").c_str(), 1);
    why.clear();
    EXPECT_FALSE(RtkitMakeThreadRealtime(Tid(), 99, &why));
    EXPECT_FALSE(why.empty());
}

// Whatever the service answers that is no usable integer, or a priority of none, is a refusal
// that says why, before the thread is asked for; so is a call without memory.
TEST_F(Rtkit, AnswersThatGrantNothingAreRefusalsThatSayWhy) {
    FakeService service;
    ASSERT_TRUE(service.Start(address));
    std::string why;
    for (bool first : {true, false}) {
        std::atomic<Reply>& reply = first ? service.mostReply : service.boundReply;
        std::string name = first ? "MaxRealtimePriority" : "RTTimeUSecMax";
        for (Reply how : {Reply::Error, Reply::Empty, Reply::NotAVariant, Reply::NotAnInteger}) {
            SCOPED_TRACE(name + " answered as " + std::to_string(int(how)));
            reply.store(how);
            why.clear();
            EXPECT_FALSE(RtkitMakeThreadRealtime(Tid(), 10, &why));
            EXPECT_EQ(why, how == Reply::Error ? "no such property" : name + " is not an integer");
        }
        reply.store(Reply::Integer);
    }
    service.most.store(0);
    why.clear();
    EXPECT_FALSE(RtkitMakeThreadRealtime(Tid(), 10, &why));
    EXPECT_EQ(why, "the service grants no priority");
    service.most.store(20);
    for (int nth : {1, 2, 3}) {  // the two property reads, then the request
        SCOPED_TRACE(nth);
        FailDbusCallNth.store(nth);
        why.clear();
        EXPECT_FALSE(RtkitMakeThreadRealtime(Tid(), 10, &why));
        EXPECT_EQ(why, "out of memory");
    }
    EXPECT_EQ(service.asked.load(), 0);
    EXPECT_TRUE(RtkitMakeThreadRealtime(Tid(), 10, &why)) << why;
    EXPECT_EQ(service.asked.load(), 1);
}

rlim_t RunLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_RTTIME, &limit);
    EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
    return limit.rlim_max;
}

// RLIMIT_RTTIME is lowered to the service's bound and never raised; a limit that cannot be
// read or set is a refusal that says so, before the thread is asked for.
TEST_F(Rtkit, TheRunTimeLimitIsLoweredToTheServicesBound) {
    FakeService service;
    ASSERT_TRUE(service.Start(address));
    std::string why;
    ASSERT_TRUE(RtkitMakeThreadRealtime(Tid(), 10, &why)) << why;
    EXPECT_LE(RunLimit(), 200000u);
    service.bound.store(100000);
    ASSERT_TRUE(RtkitMakeThreadRealtime(Tid(), 10, &why)) << why;
    EXPECT_EQ(RunLimit(), 100000u);
    service.bound.store(300000);
    ASSERT_TRUE(RtkitMakeThreadRealtime(Tid(), 10, &why)) << why;
    EXPECT_EQ(RunLimit(), 100000u);
    service.bound.store(50000);
    for (std::atomic<bool>* refusal : {&RefuseSetRlimit, &RefuseGetRlimit}) {
        refusal->store(true);
        why.clear();
        EXPECT_FALSE(RtkitMakeThreadRealtime(Tid(), 10, &why));
        refusal->store(false);
        EXPECT_EQ(why, "RLIMIT_RTTIME cannot be set");
    }
    EXPECT_EQ(RunLimit(), 100000u);
    EXPECT_EQ(service.asked.load(), 3);
}

// Something other than a bus at the address hangs up at once: a refusal with a reason, and
// nothing of the connection stays open.
TEST_F(Rtkit, SomethingElseThanABusIsARefusalThatLeavesNothingOpen) {
    std::string path = dir + "/not-a-bus";
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof where.sun_path);
    std::memcpy(where.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
    std::string why;
    int before = OpenFds();
    std::thread hangUp([listener] {
        int connection = accept(listener, nullptr, nullptr);
        if (connection >= 0) close(connection);
    });
    EXPECT_FALSE(RtkitMakeThreadRealtime(Tid(), 10, &why));
    hangUp.join();
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(OpenFds(), before);
    close(listener);
}

uint32_t Idle(void*) {
    return 0;
}

// SCHED_FIFO refused: once the program asks for it (RtkitUse) the service is asked for the
// thread, and its refusal is the reason given; before, it is left alone.
TEST_F(Rtkit, ThreadsAskTheServiceWhenRealTimeIsRefused) {
    FakeService service;
    ASSERT_TRUE(service.Start(address));
    RefuseRealTime.store(true);
    uint32_t tid = 0;
    HANDLE thread = CreateThread(nullptr, 0, Idle, nullptr, CREATE_SUSPENDED, &tid);
    ASSERT_NE(thread, nullptr);
    ThreadRealtimeGrant = nullptr;
    EXPECT_EQ(0, SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(service.tid.load(), 0u);
    EXPECT_STREQ(ThreadRealtimeRefusal(), "RLIMIT_RTPRIO is 0 and RealtimeKit was not asked");
    RtkitUse();
    EXPECT_NE(0, SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(service.tid.load(), tid);
    EXPECT_EQ(service.priority.load(), 20u);
    service.refuse.store(true);
    EXPECT_EQ(0, SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_STREQ(ThreadRealtimeRefusal(),
                 "RLIMIT_RTPRIO is 0 and RealtimeKit refused: not in an active session");
    RefuseRealTime.store(false);
    ResumeThread(thread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 2000));
    CloseHandle(thread);
}

}  // namespace
