#include "Output.h"

#include <ostream>

namespace rtictl {

namespace {

std::string joinedHandles(const RTIP::FederateVector& v, std::vector<uint64_t>* list) {
    std::string text;
    for (uint16_t h = 1; h < RTIP::FederateVector::kCount; ++h) {
        if (!v.get(h)) continue;
        if (list) list->push_back(h);
        text += (text.empty() ? "" : ",") + std::to_string(h);
    }
    return text.empty() ? "none" : text;
}

// Describes the opaque part of a message: hex always, text when printable.
void describeBytes(const std::vector<char>& p, size_t end, std::string& human, JsonObject& obj) {
    obj.add("hex", toHex(p, 0, end));
    if (isPrintable(p, 0, end)) {
        obj.add("text", std::string(p.begin(), p.begin() + end));
        human += " text \"" + std::string(p.begin(), p.begin() + end) + "\"";
    } else {
        human += " hex " + (end ? toHex(p, 0, end) : std::string("(empty)"));
    }
}

}  // namespace

std::string toHex(const std::vector<char>& bytes, size_t begin, size_t end) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = begin; i < end; ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool isPrintable(const std::vector<char>& bytes, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x20 || b >= 0x7f) return false;
    }
    return true;
}

Output::Output(bool json, std::ostream& out, std::ostream& err)
    : json_(json), out_(out), err_(err) {}

void Output::result(const std::string& human, const JsonObject& obj) {
    if (json_) {
        out_ << obj.str() << std::endl;
    } else {
        out_ << human << std::flush;
    }
}

void Output::note(const std::string& human) {
    if (!json_) out_ << human << std::flush;
}

void Output::error(const RTI::Exception& e) {
    err_ << "ERR " << e << std::endl;
    if (json_) {
        JsonObject inner;
        inner.add("class", e.name()).add("serial", e.serial()).add("reason", e.reason());
        out_ << JsonObject().add("error", inner).str() << std::endl;
    }
}

void Output::error(const std::string& text) {
    err_ << "ERR " << text << std::endl;
    if (json_) {
        JsonObject inner;
        inner.add("reason", text);
        out_ << JsonObject().add("error", inner).str() << std::endl;
    }
}

void Output::message(const RTIP::ExecutiveClient::Message& m) {
    using RTIP::ExecutiveClient;
    JsonObject obj;
    obj.add("event", "message").add("type", m.type).add("length", m.payload.size());
    std::string human =
        "message " + std::to_string(m.type) + " length " + std::to_string(m.payload.size());
    try {
        switch (m.type) {
            case msgFederateLeft: {
                uint16_t h = ExecutiveClient::decodeFederateLeft(m);
                obj.add("handle", h);
                human += ": federate " + std::to_string(h) + " left";
                break;
            }
            case msgAdoptOrphanedAttributes: {
                auto offer = ExecutiveClient::decodeAdoptOffer(m);
                std::vector<uint64_t> attrs(offer.attributes.handles().begin(),
                                            offer.attributes.handles().end());
                obj.add("objectId", offer.objectId).add("tag", offer.tag).add("attributes", attrs);
                std::string list;
                for (auto a : attrs) list += (list.empty() ? "" : ",") + std::to_string(a);
                human += ": adopt object " + std::to_string(offer.objectId) + " tag " +
                         std::to_string(offer.tag) + " attributes " +
                         (list.empty() ? "none" : list);
                break;
            }
            case msgRollCallStart:
            case msgRosterBroadcast: {
                size_t body = 0;
                auto vec = ExecutiveClient::trailingVector(m, &body);
                std::vector<uint64_t> joined;
                std::string text = joinedHandles(vec, &joined);
                human += ":";
                describeBytes(m.payload, body, human, obj);
                human += " joined " + text;
                obj.add("joined", joined);
                break;
            }
            default:
                human += ":";
                describeBytes(m.payload, m.payload.size(), human, obj);
        }
    } catch (const RTIP::MalformedMessage&) {
        // Undecodable service messages are still shown, as raw bytes.
        obj = JsonObject();
        obj.add("event", "message").add("type", m.type).add("length", m.payload.size());
        obj.add("malformed", true);
        human = "message " + std::to_string(m.type) + " length " +
                std::to_string(m.payload.size()) + ": malformed";
        describeBytes(m.payload, m.payload.size(), human, obj);
    }
    result(human + "\n", obj);
}

}  // namespace rtictl
