#include "Output.h"

#include <ostream>

#include "rticlient/Codec.h"
#include "rticlient/Executive.h"

namespace rtictl {

namespace {

std::string joinedHandles(const std::vector<uint16_t>& v, std::vector<uint64_t>* list) {
    std::string text;
    for (uint16_t h : v) {
        if (list) list->push_back(h);
        text += (text.empty() ? "" : ",") + std::to_string(h);
    }
    return text.empty() ? "none" : text;
}

// Serial of the client's own failure, by kind, from the client's base.
uint32_t clientSerial(const rticlient::Error& e) {
    const uint32_t base = e.component() == "Registry" ? 24000 : 24100;
    if (dynamic_cast<const rticlient::ConnectError*>(&e)) return base + 0;
    if (dynamic_cast<const rticlient::NotConnected*>(&e)) return base + 6;
    if (auto lost = dynamic_cast<const rticlient::ConnectionLost*>(&e)) {
        return base + (lost->duringSend() ? 1 : 3);
    }
    if (dynamic_cast<const rticlient::Timeout*>(&e)) return base + 2;
    if (dynamic_cast<const rticlient::UnknownRequest*>(&e)) return base + 4;
    return base + 5;
}

// Describes the opaque part of a message: hex always, text when printable.
void describeBytes(const rticlient::Bytes& p, size_t end, std::string& human, JsonObject& obj) {
    obj.add("hex", toHex(p, 0, end));
    if (isPrintable(p, 0, end)) {
        obj.add("text", std::string(p.begin(), p.begin() + end));
        human += " text \"" + std::string(p.begin(), p.begin() + end) + "\"";
    } else {
        human += " hex " + (end ? toHex(p, 0, end) : std::string("(empty)"));
    }
}

}  // namespace

Failure describe(const rticlient::Error& e) {
    if (auto refusal = dynamic_cast<const rticlient::RTIError*>(&e)) {
        return Failure{refusal->className(), refusal->serial(), refusal->reason()};
    }
    const std::string client = e.component() == "Registry" ? "RegistryClient" : "ExecutiveClient";
    return Failure{"RTI::RTIinternalError", clientSerial(e),
                   client + "::" + e.operation() + ": " + e.detail()};
}

bool isConnectionFailure(const rticlient::Error& e) {
    // A registry that does not know the request refused it too.
    return dynamic_cast<const rticlient::RTIError*>(&e) == nullptr &&
           dynamic_cast<const rticlient::UnknownRequest*>(&e) == nullptr;
}

std::string toHex(const rticlient::Bytes& bytes, size_t begin, size_t end) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = begin; i < end; ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool isPrintable(const rticlient::Bytes& bytes, size_t begin, size_t end) {
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

void Output::error(const rticlient::Error& e) {
    const Failure f = describe(e);
    err_ << "ERR " << f.className << " [" << f.serial << "] " << f.reason << std::endl;
    if (json_) {
        JsonObject inner;
        inner.add("class", f.className).add("serial", f.serial).add("reason", f.reason);
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

void Output::message(const rticlient::Message& m) {
    using rticlient::Executive;
    JsonObject obj;
    obj.add("event", "message").add("type", m.type).add("length", m.payload.size());
    std::string human =
        "message " + std::to_string(m.type) + " length " + std::to_string(m.payload.size());
    try {
        switch (m.type) {
            case rticlient::msg::kFederateLeft: {
                uint16_t h = Executive::decodeFederateLeft(m);
                obj.add("handle", h);
                human += ": federate " + std::to_string(h) + " left";
                break;
            }
            case rticlient::msg::kAdoptOrphanedAttributes: {
                auto offer = Executive::decodeAdoptOffer(m);
                std::vector<uint64_t> attrs(offer.attributes.begin(), offer.attributes.end());
                obj.add("objectId", offer.objectId).add("tag", offer.tag).add("attributes", attrs);
                std::string list;
                for (auto a : attrs) list += (list.empty() ? "" : ",") + std::to_string(a);
                human += ": adopt object " + std::to_string(offer.objectId) + " tag " +
                         std::to_string(offer.tag) + " attributes " +
                         (list.empty() ? "none" : list);
                break;
            }
            case rticlient::msg::kRollCallStart:
            case rticlient::msg::kRosterBroadcast: {
                size_t body = 0;
                auto vec = Executive::trailingVector(m, &body);
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
    } catch (const rticlient::DecodeError&) {
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
