"""What the installed modules offer (host/ provides the framework stand-ins)."""
import os

import velora.data.interface.event_codes as event_codes
import velora.tavlo.sdk.credentials as credentials


def main():
    print("StockEvents: %d codes, first three %s" % (len(event_codes.StockEvents), list(event_codes.StockEvents)[:3]))
    print("StockEvents('20') ->", event_codes.StockEvents("20"))
    os.environ["VELORA_LICENSE"] = "demo_user:demo:password"
    print("get_license_info() ->", credentials.get_license_info())
    print("signature of set_to_environ:", credentials.set_to_environ.__name__,
          credentials.set_to_environ.__signature__)


if __name__ == "__main__":
    main()
