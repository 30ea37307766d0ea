#include "frameencoder.h"

#include "framepainter.h"
#include "sensorblock.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace camsim {

namespace {

constexpr uint8_t kDht = 0xC4, kSos = 0xDA;

struct Segment {
    size_t offset; // of its FF
    size_t size;   // marker, length field and contents
};

// Header segments between SOI and the first SOS (included). Only what libjpeg writes has to
// be understood here: every segment after SOI carries a length.
std::vector<Segment> headerSegments(const std::vector<uint8_t> &jpeg)
{
    std::vector<Segment> segments;
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF) {
        const size_t size = 2 + ((size_t(jpeg[pos + 2]) << 8) | jpeg[pos + 3]);
        if (pos + size > jpeg.size())
            break;
        segments.push_back({pos, size});
        if (jpeg[pos + 1] == kSos)
            break;
        pos += size;
    }
    return segments;
}

// A run of stuffed FF bytes (FF 00) reads as all-one bits, which is no valid code in the
// standard tables, so a decoder stops with an error where the run starts. `from` should
// point into the bottom MCU row: the damage then stays below the index strip, which keeps
// corrupted frames identifiable.
void damageEntropyData(std::vector<uint8_t> &jpeg, size_t from)
{
    constexpr size_t kRun = 24;
    const Segment sos = headerSegments(jpeg).back();
    size_t start = std::max(from, sos.offset + sos.size);
    start = std::min(start, jpeg.size() - 3 - kRun); // keep the EOI, even after the step below
    if (jpeg[start - 1] == 0xFF) // do not split a stuffed pair
        ++start;
    for (size_t i = 0; i + 1 < kRun; i += 2) {
        jpeg[start + i] = 0xFF;
        jpeg[start + i + 1] = 0x00;
    }
}

} // namespace

// libjpeg reports errors through error_exit, which must not return: jump back to encode().
struct FrameEncoder::Jpeg {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    jpeg_destination_mgr destination{};
    std::jmp_buf failed;
    std::vector<uint8_t> *out = nullptr;
    size_t lastRowData = 0; // a member: locals do not survive longjmp reliably

    size_t written() const { return out->size() - destination.free_in_buffer; }

    static Jpeg *from(j_common_ptr cinfo) { return static_cast<Jpeg *>(cinfo->client_data); }

    static void errorExit(j_common_ptr cinfo)
    {
        char message[JMSG_LENGTH_MAX];
        cinfo->err->format_message(cinfo, message);
        std::fprintf(stderr, "camera-sim: libjpeg: %s\n", message);
        std::longjmp(from(cinfo)->failed, 1);
    }

    // A growing vector as libjpeg's output, so that the byte count is known at any point.
    static void initDestination(j_compress_ptr cinfo)
    {
        Jpeg *self = from(reinterpret_cast<j_common_ptr>(cinfo));
        self->out->resize(std::max<size_t>(self->out->capacity(), 64 * 1024));
        self->destination.next_output_byte = self->out->data();
        self->destination.free_in_buffer = self->out->size();
    }

    static boolean emptyOutputBuffer(j_compress_ptr cinfo)
    {
        Jpeg *self = from(reinterpret_cast<j_common_ptr>(cinfo));
        const size_t used = self->out->size(); // libjpeg hands over the whole buffer here
        self->out->resize(used * 2);
        self->destination.next_output_byte = self->out->data() + used;
        self->destination.free_in_buffer = self->out->size() - used;
        return TRUE;
    }

    static void termDestination(j_compress_ptr cinfo)
    {
        Jpeg *self = from(reinterpret_cast<j_common_ptr>(cinfo));
        self->out->resize(self->written());
    }
};

FrameEncoder::FrameEncoder(const Options &options) : options_(options), jpeg_(new Jpeg)
{
    jpeg_compress_struct &c = jpeg_->cinfo;
    c.err = jpeg_std_error(&jpeg_->errors);
    jpeg_->errors.error_exit = &Jpeg::errorExit;
    c.client_data = jpeg_.get();
    jpeg_create_compress(&c);

    jpeg_->destination.init_destination = &Jpeg::initDestination;
    jpeg_->destination.empty_output_buffer = &Jpeg::emptyOutputBuffer;
    jpeg_->destination.term_destination = &Jpeg::termDestination;
    c.dest = &jpeg_->destination;

    c.image_width = JDIMENSION(options.width);
    c.image_height = JDIMENSION(options.height);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, options.quality, TRUE);
    c.optimize_coding = FALSE;
    c.comp_info[0].h_samp_factor = 2;
    c.comp_info[0].v_samp_factor = options.sampling == Sampling::S420 ? 2 : 1;
    for (int i = 1; i < 3; ++i) {
        c.comp_info[i].h_samp_factor = 1;
        c.comp_info[i].v_samp_factor = 1;
    }
}

FrameEncoder::~FrameEncoder()
{
    jpeg_destroy_compress(&jpeg_->cinfo);
}

const std::vector<uint8_t> &FrameEncoder::encode(const uint8_t *rgb, int64_t frame)
{
    jpeg_compress_struct &c = jpeg_->cinfo;
    jpeg_->out = &out_;
    const int mcuHeight = options_.sampling == Sampling::S420 ? 16 : 8;
    const JDIMENSION lastMcuRow = JDIMENSION((options_.height - 1) / mcuHeight * mcuHeight);
    jpeg_->lastRowData = 0;

    if (setjmp(jpeg_->failed)) {
        jpeg_abort_compress(&c);
        out_.clear();
        return out_;
    }
    jpeg_start_compress(&c, TRUE);
    const size_t stride = size_t(options_.width) * 3;
    while (c.next_scanline < c.image_height) {
        // libjpeg codes each MCU row as soon as its last line arrives, so the bytes written
        // before the last row's first line is passed in end where that row's data begins
        // (give or take the few bits the Huffman coder still holds).
        if (c.next_scanline == lastMcuRow)
            jpeg_->lastRowData = jpeg_->written();
        JSAMPROW row = const_cast<JSAMPROW>(rgb + c.next_scanline * stride);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);

    // libjpeg writes the tables DC0, AC0, DC1, AC1; the camera puts AC0 first. The order of
    // the tables does not change the picture.
    std::vector<Segment> dht;
    for (const Segment &s : headerSegments(out_))
        if (out_[s.offset + 1] == kDht)
            dht.push_back(s);
    size_t tablesSize = 0;
    for (const Segment &s : dht)
        tablesSize += s.size;
    const auto ac0 = std::find_if(dht.begin(), dht.end(),
                                  [this](const Segment &s) { return out_[s.offset + 4] == 0x10; });
    if (ac0 == dht.end() || dht.back().offset + dht.back().size != dht.front().offset + tablesSize) {
        std::fprintf(stderr, "camera-sim: unexpected table layout from libjpeg\n");
        out_.clear();
        return out_;
    }
    std::vector<uint8_t> tables(out_.begin() + ptrdiff_t(ac0->offset),
                                out_.begin() + ptrdiff_t(ac0->offset + ac0->size));
    for (auto s = dht.begin(); s != dht.end(); ++s)
        if (s != ac0)
            tables.insert(tables.end(), out_.begin() + ptrdiff_t(s->offset),
                          out_.begin() + ptrdiff_t(s->offset + s->size));
    std::copy(tables.begin(), tables.end(), out_.begin() + ptrdiff_t(dht.front().offset));

    const SensorBlock block = sensorBlock(options_, frame);
    std::copy(block.begin(), block.end(), out_.begin() + ptrdiff_t(dht.front().offset + 8));

    if (isCorrupted(options_, frame))
        damageEntropyData(out_, jpeg_->lastRowData + 16);
    return out_;
}

bool isCorrupted(const Options &options, int64_t frame)
{
    return options.corruptEvery > 0 && frame % options.corruptEvery == options.corruptEvery - 1;
}

std::vector<uint8_t> encodeFrame(const Options &options, int64_t frame, uint32_t clockMs)
{
    FramePainter painter(options);
    FrameEncoder encoder(options);
    return encoder.encode(painter.paint(frame, clockMs).data(), frame);
}

std::vector<uint8_t> carrierBuffer(const std::vector<uint8_t> &jpeg)
{
    const std::vector<Segment> segments = headerSegments(jpeg);
    if (segments.empty() || jpeg[segments.back().offset + 1] != kSos)
        return {};
    const size_t headerEnd = segments.back().offset + segments.back().size;
    std::vector<uint8_t> carrier;
    carrier.reserve(headerEnd + jpeg.size() + 2);
    carrier.insert(carrier.end(), jpeg.begin(), jpeg.begin() + ptrdiff_t(headerEnd));
    carrier.insert(carrier.end(), jpeg.begin(), jpeg.end());
    carrier.push_back(0xFF);
    carrier.push_back(0xD9);
    return carrier;
}

} // namespace camsim
