"""What tovrel is built on: ``python -m tovrel.demo``."""

import tovrel


def feature_names(bits):
    """The VERSION_* feature flags set in ``bits``, in a stable order."""
    names = []
    seen = 0
    for name in sorted(vars(tovrel)):
        if not name.startswith("VERSION_"):
            continue
        value = getattr(tovrel, name)
        if value & bits and not value & seen:
            names.append(name[len("VERSION_"):].lower())
            seen |= value
    return names


def describe_build():
    info = tovrel.version_info()
    (age, version, version_num, host, features, ssl_version, ssl_version_num,
     libz_version, protocols, ares, ares_num, libidn) = info
    rows = [
        ("tovrel", tovrel.version),
        ("libcurl", f"{version} (0x{version_num:06x}, built for {host})"),
        ("TLS library", ssl_version or "none"),
        ("zlib", libz_version or "none"),
        ("IDN", libidn or "none"),
        ("c-ares", ares or "none (threaded resolver)"),
        ("protocols", " ".join(protocols)),
        ("features", " ".join(feature_names(features))),
    ]
    width = max(len(label) for label, _ in rows)
    return "\n".join(f"{label:>{width}}  {value}" for label, value in rows)


def main():
    print(describe_build())


if __name__ == "__main__":
    main()
