// Remakes the fuzz targets' seed corpus from the simulated camera:
//
//   make_fuzz_corpus OUTPUT_DIR        (OUTPUT_DIR/fuzz_packet_path and OUTPUT_DIR/fuzz_orientation)
//
// Each seed is a packet exactly as the viewer receives it: the simulator serves a
// configuration on loopback and libavformat reads it with the viewer's RTSP options, so the
// seeds carry the depacketiser's own JPEG header in front of the camera's frame. The
// orientation seeds keep only each packet's first bytes, through the camera's first DHT
// segment and a little beyond (the block reader never looks further), plus a few
// hand-made packets around the edges of the scan.
//
// The files are committed; rerun this only when the camera's wire format changes. Under
// the sanitizer build, GStreamer's caches show up as leaks at exit: run it with
// ASAN_OPTIONS=detect_leaks=0.

#include "camerasim.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Seed
{
    const char *name;
    const char *tilt; // as the simulator's command line takes it
    int width;
    int height;
    camsim::Sampling sampling;
    int corruptEvery;
    int frames; // packets kept
};

const Seed Seeds[] = {
    {"none", "none", 320, 240, camsim::Sampling::S422, 0, 2},
    {"type1-angle", "angle:123", 320, 240, camsim::Sampling::S422, 0, 1},
    {"type1-sweep", "sweep", 320, 240, camsim::Sampling::S422, 0, 2},
    {"type6-readings", "type6:1500,300,3000", 320, 240, camsim::Sampling::S422, 0, 1},
    {"type6-deadband", "type6:100,900,100", 320, 240, camsim::Sampling::S422, 0, 1},
    {"type6-sweep", "type6-sweep", 320, 240, camsim::Sampling::S422, 0, 2},
    {"type6-zero", "type6-zero", 320, 240, camsim::Sampling::S422, 0, 2},
    {"unknown-type", "unknown", 320, 240, camsim::Sampling::S422, 0, 2},
    {"no-tag", "no-tag", 320, 240, camsim::Sampling::S422, 0, 2},
    {"s420-type1", "sweep", 320, 240, camsim::Sampling::S420, 0, 2},
    {"s420-type6", "type6-sweep", 320, 240, camsim::Sampling::S420, 0, 1},
    {"640x480-type6", "type6-sweep", 640, 480, camsim::Sampling::S422, 0, 1},
    {"136x104-type1", "angle:359", 136, 104, camsim::Sampling::S422, 0, 2},
    {"corrupt-type1", "sweep", 320, 240, camsim::Sampling::S422, 1, 2},
    {"corrupt-type6", "type6-sweep", 320, 240, camsim::Sampling::S422, 1, 1},
};

// The camera's tables and the block lie well inside this many bytes after the second marker.
const size_t OrientationTail = 200;

bool writeFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

std::vector<std::vector<uint8_t>> readPackets(const Seed &seed, std::string *error)
{
    camsim::Options options;
    options.port = 0;
    options.address = "127.0.0.1";
    options.width = seed.width;
    options.height = seed.height;
    options.sampling = seed.sampling;
    options.corruptEvery = seed.corruptEvery;
    if (!camsim::parseTilt(seed.tilt, options, error))
        return {};
    camsim::Simulator simulator(options);
    if (!simulator.start()) {
        *error = simulator.errorString();
        return {};
    }

    AVDictionary *rtsp = nullptr;
    av_dict_set(&rtsp, "buffer_size", "1024000", 0);
    av_dict_set(&rtsp, "rtsp_transport", "udp", 0);
    av_dict_set(&rtsp, "timeout", "3000000", 0);
    AVFormatContext *input = nullptr;
    const int opened = avformat_open_input(&input, simulator.url().c_str(), nullptr, &rtsp);
    av_dict_free(&rtsp);
    if (opened < 0) {
        *error = "cannot open " + simulator.url();
        return {};
    }

    std::vector<std::vector<uint8_t>> packets;
    AVPacket *packet = av_packet_alloc();
    while (packet && int(packets.size()) < seed.frames && av_read_frame(input, packet) >= 0) {
        if (input->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            packets.emplace_back(packet->data, packet->data + packet->size);
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    if (int(packets.size()) < seed.frames)
        *error = "the stream ended early";
    return packets;
}

std::vector<uint8_t> bytesOf(std::initializer_list<int> values)
{
    std::vector<uint8_t> bytes;
    for (int v : values)
        bytes.push_back(uint8_t(v));
    return bytes;
}

// Packets around the ends of the scan: a block that ends on the last byte, one a byte
// short of it, a marker pair at the very end, overlapping FF FF C4 pairs.
std::vector<std::pair<std::string, std::vector<uint8_t>>> edgePackets()
{
    const std::vector<uint8_t> first = bytesOf({0xFF, 0xD8, 0xFF, 0xC4, 0x00, 0x1F, 0x00, 0x00, 0x01, 0x05});
    const std::vector<uint8_t> type1 = bytesOf({0xFF, 0xC4, 0x00, 0xB5, 0x10, 0x00, 0x02, 0x01,
                                                0x2D, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE, 0x01});
    std::vector<uint8_t> exact = first;
    exact.insert(exact.end(), type1.begin(), type1.end());
    std::vector<uint8_t> short1(exact.begin(), exact.end() - 1);
    std::vector<uint8_t> type6 = exact;
    type6[type6.size() - 1] = 0x06;
    return {
        {"edge-block-ends-at-end", exact},
        {"edge-block-one-short", short1},
        {"edge-type6-ends-at-end", type6},
        {"edge-marker-at-end", bytesOf({0xFF, 0xC4, 0x00, 0x00, 0xFF, 0xC4})},
        {"edge-overlapping-ff", bytesOf({0xFF, 0xFF, 0xC4, 0xFF, 0xFF, 0xC4, 0x00, 0xB5, 0x10, 0x00, 0x02, 0x01,
                                         0x40, 0x06, 0, 0, 0x40, 0x06, 1, 2, 3, 4, 0xFE, 0x06})},
    };
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    avformat_network_init();
    const std::string top = argv[1];
    std::error_code made;
    std::filesystem::create_directories(top + "/fuzz_packet_path", made);
    std::filesystem::create_directories(top + "/fuzz_orientation", made);

    int written = 0;
    for (const Seed &seed : Seeds) {
        std::string error;
        const std::vector<std::vector<uint8_t>> packets = readPackets(seed, &error);
        if (!error.empty()) {
            std::fprintf(stderr, "%s: %s\n", seed.name, error.c_str());
            return 1;
        }
        for (size_t i = 0; i < packets.size(); ++i) {
            const std::vector<uint8_t> &packet = packets[i];
            const std::string name = std::string(seed.name) + "-" + std::to_string(i) + ".bin";
            const long marker = camsim::dhtMarker(packet.data(), packet.size(), 2);
            if (marker < 0) {
                std::fprintf(stderr, "%s: no second DHT marker in the packet\n", seed.name);
                return 1;
            }
            const size_t cut = std::min(packet.size(), size_t(marker) + OrientationTail);
            const std::vector<uint8_t> head(packet.begin(), packet.begin() + long(cut));
            if (!writeFile(top + "/fuzz_packet_path/" + name, packet) || !writeFile(top + "/fuzz_orientation/" + name, head)) {
                std::fprintf(stderr, "cannot write %s under %s\n", name.c_str(), top.c_str());
                return 1;
            }
            written += 2;
        }
    }
    for (const auto &edge : edgePackets()) {
        if (!writeFile(top + "/fuzz_orientation/" + edge.first + ".bin", edge.second)) {
            std::fprintf(stderr, "cannot write %s under %s\n", edge.first.c_str(), top.c_str());
            return 1;
        }
        ++written;
    }
    std::printf("%d files written under %s\n", written, top.c_str());
    avformat_network_deinit();
    return 0;
}
