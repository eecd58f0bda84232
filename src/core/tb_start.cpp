#include "core/tb_start.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <ini.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <semaphore.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "control/tb_action_server.hpp"
#include "core/tb_core.hpp"
#include "core/tb_syslog.hpp"
#include "core/tb_task.hpp"
#include "net/tb_device.hpp"
#include "server/manifest_mask.hpp"
#include "server/manifest_server.hpp"
#include "server/user.hpp"
#include "server/boot_server.hpp"
#include "server/syslog_server.hpp"

namespace {

constexpr std::array<std::uint8_t, 4> version = {138, 2, 4, 9};

struct arch_row {
    std::string_view name;
    int slots;
};

constexpr std::array<arch_row, 20> arch_list = {{
    {"noarch", 0},    {"88f6281", 2},  {"88f6282", 2},   {"armada370", 2}, {"armada375", 2},
    {"armadaxp", 4},  {"avoton", 8},   {"alpine4k", 4},  {"cedarview", 6}, {"evansport", 4},
    {"raspberry", 1}, {"ppc853x", 2},  {"x64", 8},       {"x86", 4},       {"braswell", 4},
    {"broadwell", 4}, {"apollolake", 8}, {"denverton", 8}, {"v400", 8},    {"max", 32},
}};

tb_start_state start_state;
// Posted by the signal handler: the main thread sleeps on it instead of
// polling for the end of the process.
sem_t abort_semaphore;

void cut(std::string& text, std::size_t max)
{
    if (text.size() > max) text.resize(max);
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Sleeps in small steps so that a signal ends the wait early.
void sleep_unless_aborted(int ms)
{
    for (int waited = 0; waited < ms && abort_signal.load() == 0; waited += 5) sleep_ms(5);
}

struct interface_data {
    std::array<std::uint8_t, 6> mac{};
    std::uint32_t address = 0; // host order
    std::uint32_t netmask = 0;
};

void read_interface(std::string_view name, interface_data& data)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return;
    ifreq request{};
    const std::size_t n = std::min<std::size_t>(name.size(), 15);
    std::memcpy(request.ifr_name, name.data(), n);
    if (ioctl(fd, SIOCGIFHWADDR, &request) == 0)
        std::memcpy(data.mac.data(), request.ifr_hwaddr.sa_data, data.mac.size());
    if (ioctl(fd, SIOCGIFADDR, &request) == 0) {
        sockaddr_in address{};
        std::memcpy(&address, &request.ifr_addr, sizeof address);
        data.address = ntohl(address.sin_addr.s_addr);
    }
    if (ioctl(fd, SIOCGIFNETMASK, &request) == 0) {
        sockaddr_in mask{};
        std::memcpy(&mask, &request.ifr_netmask, sizeof mask);
        data.netmask = ntohl(mask.sin_addr.s_addr);
    }
    ::close(fd);
}

std::string dotted(std::uint32_t address)
{
    std::array<char, INET_ADDRSTRLEN> text{};
    const in_addr in{htonl(address)};
    inet_ntop(AF_INET, &in, text.data(), text.size());
    return text.data();
}

int handle_key(void* user, const char* section, const char* name, const char* value)
{
    const int pass = *static_cast<int*>(user);
    const std::string_view s = section, n = name;
    std::fprintf(stderr, "pass_%d:%s:%s = %s\n", pass, section, name, value);
    if (pass == 1) {
        if (s == "webserver" && n == "home") {
            start_state.home = value;
            cut(start_state.home, 255);
        } else if (s == "synology" && n == "locale") {
            start_state.locale = value;
            cut(start_state.locale, 7);
        }
        return 1;
    }
    if (s == "network" && n == "interface") {
        start_tamber(value);
    } else if (s == "paths" && n == "manifest") {
        start_state.manifest = value;
        cut(start_state.manifest, 255);
        manifest_server_start(start_state.manifest);
    } else if (s == "paths" && n == "syslog") {
        syslog_server_start(value);
    } else if (s == "firmware" && n == "load") {
        start_boot_server(value);
    } else if (s == "synology" && n == "arch") {
        start_services(value);
    }
    return 1;
}

void read_configuration(const char* file)
{
    std::fprintf(stderr, "Reading configuration from %s\n", file);
    for (int pass = 1; pass <= 2; ++pass) ini_parse(file, handle_key, &pass);
}

} // namespace

tb_start_state& tb_start_config() { return start_state; }

int synology_arch_get_number_of_services(std::string_view name)
{
    for (const auto& row : arch_list)
        if (row.name == name) return row.slots;
    // atoi semantics without its undefined overflow: optional blanks and
    // sign, then digits; anything else gives 0.
    std::size_t i = 0;
    while (i < name.size() && (name[i] == ' ' || name[i] == '\t')) ++i;
    long long count = 0;
    const char* first = name.data() + i;
    const char* last = name.data() + name.size();
    if (first != last && *first == '+') ++first;
    auto [end, error] = std::from_chars(first, last, count);
    if (error == std::errc::result_out_of_range) return (first != last && *first == '-') ? -1 : tb_arch_max_slots + 1;
    if (error != std::errc{} || end == first) return 0;
    return static_cast<int>(std::clamp<long long>(count, -1, tb_arch_max_slots + 1));
}

int start_services_count(std::string_view arch, bool* unknown)
{
    const int count = synology_arch_get_number_of_services(arch);
    if (unknown) *unknown = count <= 0;
    if (count <= 0) return 1;
    return std::min(count, tb_arch_max_slots);
}

void start_services(std::string_view arch)
{
    bool unknown = false;
    const int count = start_services_count(arch, &unknown);
    if (unknown) {
        const std::string name(arch);
        tb_syslog_warning("start_services", tb_device_own_id(), "unknown architecture \"%s\"", name.c_str());
    }
    start_state.user_count = count;
    // Source services come first once they exist; then the users.
    for (int i = 0; i < count; ++i)
        if (tb_id_is_unknown(user_main(tb_model_code, "User %02i"))) break;
}

void start_tamber(std::string_view interface)
{
    interface_data data;
    for (;;) {
        read_interface(interface, data);
        const std::string address = dotted(data.address);
        std::fprintf(stderr, "MAC:%02x:%02x:%02x:%02x:%02x:%02x ", data.mac[0], data.mac[1], data.mac[2],
                     data.mac[3], data.mac[4], data.mac[5]);
        std::fprintf(stderr, "IP:%s ", address.c_str());
        std::fprintf(stderr, "MASK:%s\n", dotted(data.netmask).c_str());
        if (data.address != 0 && address.rfind("169.254.", 0) != 0) break;
        sleep_unless_aborted(10000);
        if (abort_signal.load() != 0) return;
    }

    tb_network_config config;
    config.address = data.address;
    config.netmask = data.netmask;

    tb_device_record device;
    device.mac = data.mac;
    device.nonce = static_cast<std::uint32_t>(std::rand());
    device.version = version;
    std::snprintf(device.url.data(), device.url.size(), "http://%s%s/", dotted(data.address).c_str(),
                  start_state.home.c_str());
    tb_copy_text(device.locale, start_state.locale);

    tb_core_init(config, device);

    // --- action console (tb_action_server): registered with the own id, handed the help page
    if (auto* console = tb_task_add_state<tb_action_server_state>(tb_action_server_task, tb_device_own_id()))
        console->help_page = tb_action_server_help_page();
    // --- end action console

    std::array<char, 33> host{};
    if (gethostname(host.data(), host.size() - 1) != 0) host[0] = '\0';
    host.back() = '\0';
    tb_device_set_name(tb_device_own_id(), host.data());
}

std::FILE* open_manifest_file(tb_id id, const char* mode)
{
    const std::string path = start_state.manifest + "/" + tb_id_text(id) + ".kst";
    std::FILE* file = std::fopen(path.c_str(), mode);
    if (file && mode && (std::strchr(mode, 'w') || std::strchr(mode, 'a'))) chmod(path.c_str(), 0666);
    return file;
}

void sig_handler(int signal)
{
    // Only async-signal-safe calls here.
    std::array<char, 32> line{};
    const char prefix[] = "Signal catched: ";
    std::size_t n = sizeof prefix - 1;
    std::memcpy(line.data(), prefix, n);
    auto [end, error] = std::to_chars(line.data() + n, line.data() + line.size() - 1, signal);
    n = error == std::errc{} ? static_cast<std::size_t>(end - line.data()) : n;
    line[n++] = '\n';
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), n);
    abort_signal.store(1);
    sem_post(&abort_semaphore);
}

int tamber_main(int argc, char** argv)
{
    std::printf("Starting Tamber-Server Version ");
    std::printf("%03i-%02i.%02i.%02i\n", version[0], version[1], version[2], version[3]);
    std::fflush(stdout);
    // Seeded with the time to the nanosecond and the pid, so that a restart
    // within the same second still gets a new boot nonce.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::srand(static_cast<unsigned>(now.tv_sec) ^ static_cast<unsigned>(now.tv_nsec) ^
               static_cast<unsigned>(getpid()) << 16);
    sem_init(&abort_semaphore, 0, 0);

    // Installed before the configuration is read so that a signal during the
    // wait for the interface still ends the process cleanly.
    struct sigaction action{};
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    int option;
    while ((option = getopt(argc, argv, "i:")) != -1) {
        if (option == 'i') {
            read_configuration(optarg);
        } else {
            std::fprintf(stderr, "Usage: %s [-i ini-file] \n", argv[0]);
            return 0;
        }
    }

    curl_global_init(CURL_GLOBAL_ALL);
    util_create_thread(tamber_system_thread_function, nullptr);
    util_create_thread(tamber_audio_thread_function, nullptr);

    if (start_state.user_count != -1) {
        sleep_unless_aborted(10000);
        std::lock_guard lock(tamber_mutex);
        update_manifest_mask(start_state.user_count);
    }

    while (abort_signal.load() == 0) sem_wait(&abort_semaphore);
    sleep_ms(250);
    // Configuration still queued for the disk is written before the exit.
    manifest_server_stop();
    curl_global_cleanup();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}
