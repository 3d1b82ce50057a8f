#include "app/handover_url.h"

namespace zv::app {

std::optional<platform::URL> importURLForMetadataFileAtURL(const platform::URL& metadataFileURL) {
  platform::URLComponents components;
  components.setScheme(u"quennet");
  components.setHost(u"library");
  components.setQueryItems(std::vector<platform::URLQueryItem>{
      {u"location", metadataFileURL.absoluteString()},
  });
  return components.url();
}

}  // namespace zv::app
