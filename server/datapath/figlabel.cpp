// Label decoders (FIG 1/0, 1/1, 1/2, 1/4, 1/5) and date and time (FIG 0/10).

#include <ctime>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/figdec.h"
#include "datapath/isoconv.h"

int decode_label_entry(const unsigned char *p, int n, int ext, dablabel_t *d) {
    entry_cursor c(p, n);
    switch (ext) {
        case 4: {
            // P/D(1) rfa(3) SCIdS(4) SId(16/32)
            int b0 = c.u8();
            d->pd = b0 >> 7;
            d->scids = b0 & 0x0F;
            d->id = c.sid(d->pd);
            break;
        }
        case 5: d->id = c.u32(); break;
        default: d->id = c.u16(); break;
    }
    // Bytes the FIG does not hold read as 0 and end the name there.
    for (int i = 0; i < 16; i++) d->name[i] = static_cast<char>(transiso646(static_cast<unsigned char>(c.u8())));
    d->name[16] = 0;
    d->char_flag = c.u16();
    int j = 0;
    for (int i = 0; i < 16; i++)
        if (d->char_flag & (1 << (15 - i))) d->short_name[j++] = d->name[i];
    d->short_name[j] = 0;
    return c.used();
}

int label_helper::decode_label(ensemble *e, dablabel_t *lab, fig_s *f, int &k) {
    int used = decode_label_entry(f->ob + k, f->end - k, f->hdr.ext, lab);
    k += used > 0 ? used - 1 : 0;
    e->l->log(LOG_DEBUG, "decode_label: id:%04x name:[%s] char_flag:%04x short_name:[%s]\n", lab->id, lab->name,
              lab->char_flag, lab->short_name);
    return 1;
}

int decode_programme_type_downloading(const unsigned char *p, int n, programme_type_downloading_t *d) {
    entry_cursor c(p, n);
    // Country(1) CF(1) CoarseCode(6) [FineCode(8)] Language(8) label(16 x 8) CharFlag(16) [ECC(8) CountryId(4) rfa(4)]
    int b0 = c.u8();
    d->country_flag = b0 >> 7;
    d->cf_flag = b0 >> 6 & 1;
    d->coarse_code = b0 & 0x3F;
    if (d->cf_flag) d->fine_code = c.u8();
    d->language = c.u8();
    for (int i = 0; i < 16; i++) d->label[i] = static_cast<char>(c.u8());
    d->label[16] = 0;
    d->char_flag = c.u16();
    if (d->country_flag) {
        d->ecc = c.u8();
        d->country_id = c.u8() >> 4;
    }
    return c.result();
}

int programme_type_downloading::decode_fig(fig_s *f, int &k) {
    int used = decode_programme_type_downloading(f->ob + k, f->end - k, &data);
    if (!fig_entry_done(e, f, k, used)) return 0;
    e->l->log(LOG_DEBUG,
              "programme_type_downloading country_flag:%d cf_flag:%d coarse_code:%02x fine_code:%02x language:%02x "
              "label:%s char_flag:%04x ecc:%02x country_id:%02x\n",
              data.country_flag, data.cf_flag, data.coarse_code, data.fine_code, data.language, data.label,
              data.char_flag, data.ecc, data.country_id);
    return 1;
}

int date_time::mjd_helper(struct tm *t, int mjd) {
    // Julian day number to Gregorian date in integer arithmetic (Fliegel and Van Flandern);
    // JD = MJD + 2400001, and l starts at JD + 68569.
    int l = mjd + 2468570;
    int n = 4 * l / 146097;
    l = l - (146097 * n + 3) / 4;
    int i = 4000 * (l + 1) / 1461001;
    l = l - 1461 * i / 4 + 31;
    int j = 80 * l / 2447;
    int day = l - 2447 * j / 80;
    l = j / 11;
    int month = j + 2 - 12 * l;
    int year = 100 * (n - 49) + i + l;
    t->tm_mday = day;
    t->tm_mon = month - 1;
    t->tm_year = year - 1900;
    return 1;
}

int decode_date_time(const unsigned char *p, int n, date_time_t *d) {
    entry_cursor c(p, n);
    // rfu(1) MJD(17) LSI(1) ConfInd(1) UTCflag(1) Hours(5) Minutes(6) [Seconds(6) Milliseconds(10)]
    int b0 = c.u8(), b1 = c.u8(), b2 = c.u8(), b3 = c.u8();
    d->mjd = (b0 & 0x7F) << 10 | b1 << 2 | b2 >> 6;
    d->lsi = b2 >> 5 & 1;
    d->conf_ind = b2 >> 4 & 1;
    d->utc_flag = b2 >> 3 & 1;
    d->hours = (b2 & 0x07) << 2 | b3 >> 6;
    d->minutes = b3 & 0x3F;
    if (d->utc_flag) {
        int b4 = c.u8();
        d->seconds = b4 >> 2;
        d->milliseconds = (b4 & 0x03) << 8 | c.u8();
    }
    struct tm t = {};
    t.tm_sec = d->seconds;
    t.tm_min = d->minutes;
    t.tm_hour = d->hours;
    date_time::mjd_helper(&t, d->mjd);
    // The broadcast time is UTC.
    d->unixtime = static_cast<fig_time_t>(timegm(&t));
    return c.result();
}

int date_time::decode_fig(fig_s *f, int &k) {
    int used = decode_date_time(f->ob + k, f->end - k, &data);
    if (!fig_entry_done(e, f, k, used)) return 0;
    time_t ut = static_cast<time_t>(data.unixtime);
    char text[64];
    if (!ctime_r(&ut, text)) copy_field(text, "?\n");
    e->l->log(LOG_DEBUG,
              "date_time mjd:%d lsi:%d conf_ind:%d utc_flag:%d hours:%2d minutes:%2d seconds:%2d milliseconds:%3d "
              "unixtime:%s",
              data.mjd, data.lsi, data.conf_ind, data.utc_flag, data.hours, data.minutes, data.seconds,
              data.milliseconds, text);
    return 1;
}
