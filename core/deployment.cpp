// The deployment values and the product web site, which tests may point elsewhere.
#include "core/deployment.h"

#include <cstdlib>

const char* productSiteUrl() {
    const char* overridden = std::getenv("VEDO_PRODUCT_SITE");
    return (overridden && *overridden) ? overridden : DEFAULT_PRODUCT_SITE;
}
