// Every deployment value of the program in one place.
#pragma once

// The marketplace's own image hosts (its image space).
constexpr const char* IMAGE_SPACE_HOST_MARKERS[] = {".taobaocdn.com/", ".alicdn.com/"};
constexpr int IMAGE_SPACE_HOST_MARKER_COUNT = 2;

// Description addresses on these hosts are never collected.
constexpr const char* EXCLUDED_IMAGE_HOSTS[] = {".tbcdn.cn/", ".taobao.com/", ".tmall.com/"};
constexpr int EXCLUDED_IMAGE_HOST_COUNT = 3;

// The marketplace's blank placeholder image.
constexpr const char* BLANK_IMAGE_URL = "http://img.alicdn.com/imgextra/i1/T1_blank1.jpg";

// The maker's domain suffix and fallback address for failed name lookups: both empty, so the
// fallback is off.
constexpr const char* MAKER_DOMAIN_SUFFIX = "";
constexpr const char* MAKER_FALLBACK_ADDRESS = "";

// The product web site, reached over https. Tests and local runs point it elsewhere with
// VEDO_PRODUCT_SITE.
constexpr const char* DEFAULT_PRODUCT_SITE = "https://www.vantiro.example/";
const char* productSiteUrl();

constexpr double APP_VERSION = 6.9;
constexpr const char* PRODUCT_NAME = "Vantiro";
