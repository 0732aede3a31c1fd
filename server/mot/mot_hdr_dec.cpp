// MOT header core and header extension parameters; object names become relative paths.

#include "mot/mot_hdr_dec.h"

#include <cstring>

#include "core/log.h"
#include "mot/http.h"
#include "mot/mot_dec.h"
#include "mot/util2.h"

namespace {

constexpr int MOT_NAME_MAX = 256;  // characters of a ContentName we keep

// One parameter of the header extension. Only PLI 3 carries data; PLI 1 and 2 carry a value.
struct mot_param {
    int id;
    int pli;
    int value;
    const unsigned char *field;  // the bytes after the parameter byte, for the handler
    int field_len;
    const unsigned char *data;  // PLI 3 data, null otherwise
    int len;
};

// Missing bytes of a short field read as zero. A time may come in its short form as a 4-byte value.
unsigned char byte_at(const mot_param &prm, int i) {
    if (prm.data) return i < prm.len ? prm.data[i] : 0;
    return prm.pli == 2 && i < prm.field_len ? prm.field[i] : 0;
}

// A short (4-byte) time is followed by two zero bytes; anything beyond 6 bytes is dropped.
void store_time(unsigned char *dst, const mot_param &prm) {
    for (int i = 0; i < 6; i++) dst[i] = byte_at(prm, i);
}

void copy_text(char *dst, int size, const unsigned char *src, int n) {
    if (n > size - 1) n = size - 1;
    if (n < 0) n = 0;
    memcpy(dst, src, static_cast<size_t>(n));
    dst[n] = 0;
}

bool has_control(const char *s) {
    for (; *s; s++) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

bool needs_data(mot_state_t *ms, const mot_param &prm, bool time = false) {
    if (prm.len > 0 || (time && prm.pli == 2)) return true;
    mot_log(ms, LOG_WARN, "Invalid MOT-header data for type 0x%x\n", prm.id);
    mot_count(ms, MS_MOT_OTHER_ERRORS);
    return false;
}

void content_name(mot_state_t *ms, mot_hdr_attr_t *mha, const mot_param &prm) {
    const int n = prm.len - 1;  // byte 0 is the character set
    if (n < 1 || n > MOT_NAME_MAX) {
        mot_log(ms, LOG_WARN, "HX-Content: Size %i less than 1 or larger than %i chars\n", n, MOT_NAME_MAX + 1);
        return;
    }
    char name[MOT_NAME_MAX + 1];
    char shown[MOT_NAME_MAX + 1];
    copy_text(name, sizeof name, prm.data + 1, n);
    printable(shown, sizeof shown, name, static_cast<int>(strlen(name)));  // no forged log lines
    mot_log(ms, LOG_DEBUG, "HX-Content: >%s<\n", shown);
    const int altered = clean_path(mha->path, name, sizeof mha->path);
    if (altered & CLEAN_PATH_DOTS) mot_log(ms, LOG_WARN, "File name <%s> is a security hole, removing '..'\n", shown);
    // Control bytes are mended silently by clean_path, but such a name is still a broken one.
    if (altered || has_control(name)) mot_count(ms, MS_MOT_BAD_NAMES);
    // Nothing usable left: the object is named after its content type instead.
    if (mha->path[0]) mha->hdr_flags |= 1ULL << MOT_PARAM_CONTENT_NAME;
}

// false rejects the header (already logged and counted).
bool apply_param(mot_state_t *ms, mot_hdr_attr_t *mha, const mot_param &prm, mot_hdr_handler_t *hdr_handler) {
    const uint64_t flag = 1ULL << prm.id;
    switch (prm.id) {
    case 2:  // CreationTime
        if (!needs_data(ms, prm, true)) return false;
        mot_log(ms, LOG_DEBUG, "HX-CreationTime ignored\n");
        store_time(mha->creation_time, prm);
        mha->hdr_flags |= flag;
        return true;
    case 3:  // StartValidity
        if (!needs_data(ms, prm, true)) return false;
        store_time(mha->start_validity, prm);
        mha->hdr_flags |= flag;
        return true;
    case 4:  // ExpireTime
        if (!needs_data(ms, prm, true)) return false;
        mot_log(ms, LOG_DEBUG, "HX-ExpireTime ignored\n");
        store_time(mha->expire_time, prm);
        mha->hdr_flags |= flag;
        return true;
    case MOT_PARAM_TRIGGER_TIME: {
        if (!needs_data(ms, prm, true)) return false;
        unsigned char *t = mha->trigger_time;
        store_time(t, prm);
        mot_log(ms, LOG_DEBUG, "HX-TriggerTime ignored, %02x %02x %02x %02x %02x %02x\n", t[0], t[1], t[2], t[3], t[4],
                t[5]);
        // Validity flag and date zero mean "at once"; the long form also carries its UTC flag (0x08).
        mha->trigger = t[0] == 0 && t[1] == 0 && t[3] == 0 && (t[2] == 0 || (t[2] == 0x08 && t[4] == 0 && t[5] == 0));
        mha->hdr_flags |= flag;
        return true;
    }
    case 6:  // VersionNumber
        mot_log(ms, LOG_DEBUG, "HX-Version: %i (ignored)\n", prm.value);
        mha->version = static_cast<uint8_t>(prm.value);
        mha->hdr_flags |= flag;
        return true;
    case 7:  // RepetitionDistance
        mot_log(ms, LOG_DEBUG, "HX-RepetitionDistance %i (ignored)\n", prm.value);
        mha->rep_dist = prm.value;
        mha->hdr_flags |= flag;
        return true;
    case 8: {  // GroupReference
        if (!needs_data(ms, prm)) return false;
        unsigned char g[6];
        for (int i = 0; i < 6; i++) g[i] = byte_at(prm, i);
        mot_log(ms, LOG_DEBUG, "HX-GroupReference: ID 0x%x, # %i (ignored)\n", mot_be(g, 4),
                static_cast<int>(mot_be(g + 4, 2)));
        mha->hdr_flags |= flag;
        return true;
    }
    case 10:  // Priority
        mot_log(ms, LOG_DEBUG, "HX-Priority: %i (ignored)\n", prm.value);
        mha->priority = static_cast<uint8_t>(prm.value);
        mha->hdr_flags |= flag;
        return true;
    case MOT_PARAM_CONTENT_LABEL:
        if (!needs_data(ms, prm)) return false;
        // byte 0 character set, 16 label bytes, 2 bytes character flag field
        copy_text(mha->label, sizeof mha->label, prm.data + 1, prm.len - 1);
        if (prm.len >= 19) mha->char_flag = static_cast<uint16_t>(mot_be(prm.data + 17, 2));
        mot_log(ms, LOG_DEBUG, "HX-Label: >%s<\n", mha->label);
        translate_umlaut(mha->label, mha->label);
        mha->hdr_flags |= flag;
        return true;
    case MOT_PARAM_CONTENT_NAME:
        if (!needs_data(ms, prm)) return false;
        content_name(ms, mha, prm);
        return true;
    case 16:  // MimeType
        if (prm.len > 0) {
            copy_text(mha->mime_type, sizeof mha->mime_type, prm.data, prm.len);
            mha->hdr_flags |= flag;
            mot_log(ms, LOG_DEBUG, "HX-Mimetype: >%s<\n", mha->mime_type);
        }
        return true;
    case MOT_PARAM_COMPRESSION:
        mot_log(ms, LOG_DEBUG, "HX-Compressiontype: %i\n", prm.value);
        mha->compression = static_cast<uint8_t>(prm.value);
        mha->hdr_flags |= flag;
        return true;
    case MOT_PARAM_DIRECTORY_INDEX:
        if (!needs_data(ms, prm)) return false;
        // A lower profile never replaces the index of a higher one.
        if (prm.data[0] >= mha->dir_index_profile && prm.len >= 2) {
            copy_text(mha->dir_index, sizeof mha->dir_index, prm.data + 1, prm.len - 1);
            mha->dir_index_profile = prm.data[0];
            mot_log(ms, LOG_DEBUG, "HX-DirIndex-Label: >%s<, profile %i\n", mha->dir_index, mha->dir_index_profile);
            mha->hdr_flags |= flag;
        }
        return true;
    case 15:
    case 32:
    case 33:
    case 35:
    case 36:
    case 63:
        mot_log(ms, LOG_DEBUG, "HX-Attr %x, length %i (ignored)\n", prm.id, prm.field_len);
        break;
    default:
        mot_log(ms, LOG_DEBUG, "HX unknown: %i, ignored\n", prm.id);
        break;
    }
    if (hdr_handler && hdr_handler(ms, mha, prm.id, prm.field, prm.field_len)) {
        mot_count(ms, MS_MOT_OTHER_ERRORS);
        return false;
    }
    return true;
}

}  // namespace

int mot_decode_header_core(mot_state_t *ms, mot_hdr_attr_t *attr, const unsigned char *data) {
    memset(attr, 0, sizeof *attr);
    // BodySize(28) HeaderSize(13) ContentType(6) ContentSubType(9)
    attr->body_size = static_cast<int>(mot_be(data, 4) >> 4);
    const int hdr_size = static_cast<int>((data[3] & 0x0F) << 9 | data[4] << 1 | data[5] >> 7);
    attr->ct_type = static_cast<uint8_t>(data[5] >> 1 & 0x3F);
    attr->ct_subtype = static_cast<uint16_t>((data[5] & 0x01) << 8 | data[6]);
    mot_log(ms, LOG_DEBUG, "MOT bdsiz %i, hdr_size %i, %x, %x\n", attr->body_size, hdr_size, attr->ct_type,
            attr->ct_subtype);
    return hdr_size;
}

int mot_decode_header(mot_state_t *ms, mot_hdr_attr_t *mha, const unsigned char *buf, int hdr_size,
                      mot_hdr_handler_t *hdr_handler) {
    if (hdr_size <= 7) return 0;
    const int end = hdr_size - 7;
    int p = 0;
    // need: bytes the parameter would occupy up to its end; false when that runs past the header
    auto fits = [&](int need) {
        if (need <= end) return true;
        mot_log(ms, LOG_WARN, "HDR_SIZE %i < EXT_LEN %i\n", hdr_size, need + 7);
        mot_count(ms, MS_MOT_OTHER_ERRORS);
        return false;
    };
    while (p < end) {
        // PLI(2) ParamId(6)
        mot_param prm{buf[p] & 0x3F, buf[p] >> 6, 0, nullptr, 0, nullptr, 0};
        p++;
        if (prm.pli == 1 || prm.pli == 2) {
            const int n = prm.pli == 1 ? 1 : 4;
            if (!fits(p + n)) return 1;
            prm.value = static_cast<int>(mot_be(buf + p, n));
            prm.field = buf + p;
            prm.field_len = n;
            p += n;
        } else if (prm.pli == 3) {
            // Ext(1) DataFieldLength(7 or 15)
            if (!fits(p + 1)) return 1;
            int len = buf[p] & 0x7F;
            if (buf[p] & 0x80) {
                if (!fits(p + 2)) return 1;
                len = len << 8 | buf[p + 1];
                p++;
            }
            p++;
            if (!fits(p + len)) return 1;
            prm.data = prm.field = buf + p;
            prm.len = prm.field_len = len;
            p += len;
        }
        if (!apply_param(ms, mha, prm, hdr_handler)) return 1;
    }
    return 0;
}

int clean_path(char *out, const char *in, int len) {
    int result = 0;
    if (in[0] && in[1] == ':') {
        in += 2;
        while (*in == '\\') in++;
        result |= CLEAN_PATH_DRIVE;
    }
    if (len < 2) {
        if (len == 1) out[0] = 0;
        return result;
    }
    const int limit = len - 1;
    int o = 0;
    int comp = 0;  // where the current component (with its leading '/') starts in out
    // A component that ends up empty or only dots is taken back, with its separator.
    auto close_component = [&]() {
        int i = comp;
        if (i < o && out[i] == '/') i++;
        bool dots_only = true;
        for (int k = i; k < o; k++)
            if (out[k] != '.') dots_only = false;
        if (dots_only) o = comp;
    };
    const char *s = in;
    while (*s) {
        if (*s == '/' || *s == '\\') {
            close_component();
            s++;
            comp = o;
            continue;
        }
        if (s[0] == '.' && s[1] == '.') {
            s += 2;
            result |= CLEAN_PATH_DOTS;
            continue;
        }
        if (o == comp && o > 0) {
            if (o + 2 > limit) break;  // no room for a separator and a character
            out[o++] = '/';
        }
        if (o >= limit) break;
        const unsigned char c = static_cast<unsigned char>(*s);
        out[o++] = c < 0x20 || c == 0x7F ? '_' : *s;
        s++;
    }
    close_component();
    out[o] = 0;
    return result;
}

void copy_time(unsigned char *dst, const unsigned char *src) { memcpy(dst, src, 6); }
