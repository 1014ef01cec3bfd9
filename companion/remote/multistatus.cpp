#include "companion/remote/multistatus.h"

#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace QuorvelleDrive::companion::remote {

namespace {

// Elements are matched by namespace, never by prefix: servers choose their own ("D:", "d:",
// none).
bool isDav(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE && node->ns && node->ns->href &&
         std::strcmp(reinterpret_cast<const char*>(node->ns->href), "DAV:") == 0 &&
         std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

const xmlNode* davChild(const xmlNode* parent, const char* name) {
  for (const xmlNode* child = parent->children; child; child = child->next)
    if (isDav(child, name)) return child;
  return nullptr;
}

std::string textOf(const xmlNode* node) {
  if (!node) return {};
  std::unique_ptr<xmlChar, decltype(xmlFree)> content(xmlNodeGetContent(node), xmlFree);
  return content ? std::string(reinterpret_cast<const char*>(content.get())) : std::string();
}

std::string trimmed(std::string text) {
  auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// "HTTP/1.1 412 Precondition Failed" → 412; 0 when there is no status.
int statusOf(const xmlNode* parent) {
  std::string status = trimmed(textOf(davChild(parent, "status")));
  auto space = status.find(' ');
  if (space == std::string::npos) return 0;
  return std::atoi(status.c_str() + space + 1);
}

bool statusIsOk(const xmlNode* propstat) {
  return statusOf(propstat) == 200;
}

std::optional<std::uint64_t> numberOf(const xmlNode* node) {
  if (!node) return std::nullopt;
  std::string text = trimmed(textOf(node));
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') return std::nullopt;
  return value;
}

using Document = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

// No network and no entity expansion: the answer is data, never instructions to the parser.
Document parsed(std::string_view xml) {
  if (xml.size() > static_cast<std::size_t>(INT32_MAX))
    throw std::runtime_error("the server's answer is too large");
  Document doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                             XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
               xmlFreeDoc);
  if (!doc) throw std::runtime_error("the server's answer is not XML");
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!root || !isDav(root, "multistatus"))
    throw std::runtime_error("the server's answer is not a multistatus");
  return doc;
}

void readProperties(const xmlNode* prop, DavResource& resource) {
  if (auto* type = davChild(prop, "resourcetype")) resource.dir = davChild(type, "collection");
  if (auto* etag = davChild(prop, "getetag")) resource.etag = trimmed(textOf(etag));
  if (auto* length = davChild(prop, "getcontentlength"))
    resource.size = std::strtoull(trimmed(textOf(length)).c_str(), nullptr, 10);
  if (auto* modified = davChild(prop, "getlastmodified")) {
    time_t when = curl_getdate(trimmed(textOf(modified)).c_str(), nullptr);
    if (when > 0) resource.mtime = static_cast<double>(when);
  }
  if (auto available = numberOf(davChild(prop, "quota-available-bytes")))
    resource.quotaAvailable = available;
  if (auto used = numberOf(davChild(prop, "quota-used-bytes"))) resource.quotaUsed = used;
}

}  // namespace

void initialiseXmlParser() {
  xmlInitParser();
}

std::vector<DavResource> parseMultistatus(std::string_view xml) {
  Document doc = parsed(xml);
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  std::vector<DavResource> resources;
  for (const xmlNode* response = root->children; response; response = response->next) {
    if (!isDav(response, "response")) continue;
    DavResource resource;
    resource.href = trimmed(textOf(davChild(response, "href")));
    bool found = false;
    for (const xmlNode* propstat = response->children; propstat; propstat = propstat->next) {
      if (!isDav(propstat, "propstat") || !statusIsOk(propstat)) continue;
      if (auto* prop = davChild(propstat, "prop")) readProperties(prop, resource), found = true;
    }
    if (found && !resource.href.empty()) resources.push_back(std::move(resource));
  }
  return resources;
}

std::optional<int> failedStatus(std::string_view xml) {
  try {
    Document doc = parsed(xml);
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    for (const xmlNode* response = root->children; response; response = response->next) {
      if (!isDav(response, "response")) continue;
      int status = statusOf(response);
      for (const xmlNode* propstat = response->children; propstat && !status;
           propstat = propstat->next)
        if (isDav(propstat, "propstat")) status = statusOf(propstat);
      if (status < 200 || status >= 300) return status ? status : 502;
    }
    return std::nullopt;
  } catch (const std::runtime_error&) {
    return 502;
  }
}

}  // namespace QuorvelleDrive::companion::remote
