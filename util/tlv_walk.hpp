// The parse loop every message parser runs over tlv_parse, once: a walk over
// one received message in document order that enters the elements its caller
// asks for and steps over the others. The walk owns its reader and releases it
// on every way out; the message bytes belong to the caller and are never
// written. Nothing is printed except what tlv_skip prints for a truncated skip.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

class tlv_walk {
public:
    // Walks from *cursor with *avail bytes received; both move as the walk does.
    tlv_walk(uint8_t **cursor, size_t *avail) : cursor_(cursor), avail_(avail) {}
    tlv_walk(const tlv_walk &) = delete;
    tlv_walk &operator=(const tlv_walk &) = delete;
    ~tlv_walk() { release(); }

    enum result { element, done, failed };

    // One step. element: an element is open and its whole payload lies within
    // the received data; done: the envelope has been walked to its end; failed:
    // missing bytes, a failed read, or a payload beyond the data.
    [[nodiscard]] result step()
    {
        if (tlv_parse(&reader_, cursor_, avail_, next_) != 0)
            return failed;
        if (reader_ == nullptr)
            return done;
        return tlv_can_reach_end(reader_, *avail_) ? element : failed;
    }

    // As step, but an element whose payload has not fully arrived is still
    // handed out: for reading the head of a message that is still arriving.
    [[nodiscard]] result step_partial()
    {
        if (tlv_parse(&reader_, cursor_, avail_, next_) != 0)
            return failed;
        return reader_ == nullptr ? done : element;
    }

    // True when the current element's payload lies within the received data.
    [[nodiscard]] bool whole() const { return tlv_can_reach_end(reader_, *avail_); }

    // Whether the next step enters the current element or moves past it. A
    // container is entered, except an empty one below the envelope: entering
    // that would take the elements after it for its children, and fail at the
    // end of the data for want of a header (an interface with no IPv4 settings
    // carries an empty IPV4, often as the last element of a message).
    void descend(bool container) { next_ = container && (level() == 0 || length() > 0) ? 0 : 1; }

    [[nodiscard]] int level() const { return tlv_get_level(reader_); }
    [[nodiscard]] uint32_t type() const { return tlv_get_parent_type(reader_, tlv_get_level(reader_)); }
    [[nodiscard]] uint32_t length() const { return tlv_get_length(reader_); }
    // The current element's payload, read in place.
    [[nodiscard]] uint8_t *value() const { return *cursor_; }
    [[nodiscard]] char *text() const { return reinterpret_cast<char *>(*cursor_); }

    // What a field handler of walk_envelope says of the element it was shown.
    enum class field { taken, bad, stop };

    // Walks one element of type `envelope`, showing handle(type) every element
    // below it; enter(type) says whether an element is a container to enter.
    // stop ends the walk with 0 and the position on that element's header; a
    // bad element or another envelope ends it with -1, the position after the
    // envelope when finish_on_failure, else where the walk stands.
    template <typename Enter, typename Handler>
    [[nodiscard]] int walk_envelope(uint32_t envelope, bool finish_on_failure, Enter enter, Handler handle)
    {
        for (;;) {
            const result outcome = step();
            if (outcome == done)
                return 0;
            bool ok = outcome == element;
            if (ok) {
                const uint32_t current = type();
                if (level() == 0) {
                    ok = current == envelope;
                } else {
                    const field answer = handle(current);
                    if (answer == field::stop) {
                        back_onto_header();
                        return 0;
                    }
                    ok = answer == field::taken;
                }
                descend(enter(current));
            }
            if (!ok) {
                if (finish_on_failure)
                    finish();
                return -1;
            }
        }
    }

    // Ends the walk with the position just after the envelope (or at the end
    // of the data, with *avail 0, when the envelope is longer than the data).
    void finish()
    {
        tlv_skip(reader_, cursor_, avail_);
        reader_ = nullptr;
    }

    // Ends the walk with the position on the header of the element just
    // opened, so that another parser can start there.
    void back_onto_header()
    {
        *cursor_ -= TLV_HEADER_SIZE;
        *avail_ += TLV_HEADER_SIZE;
        release();
    }

    // Ends the walk without moving the position.
    void release()
    {
        tlv_skip(reader_, nullptr, nullptr);
        reader_ = nullptr;
    }

private:
    tlv_reader *reader_ = nullptr;
    uint8_t **cursor_;
    size_t *avail_;
    int next_ = 0;
};
