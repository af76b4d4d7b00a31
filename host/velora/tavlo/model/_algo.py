"""What the three algorithmic models share: building from an SDK report and merging later ones."""


class AlgoModel:
    # The report attributes a model takes over, in order; the key comes first.
    FIELDS = ("sys_quote_id",)

    def __init__(self):
        self.reports = 0

    @classmethod
    def from_mach(cls, report, existing):
        """The model for ``report``: ``existing`` brought up to date, or a new one."""
        obj = cls() if existing is None else existing
        if existing is not None and existing.sys_quote_id != report.sys_quote_id:
            raise ValueError("report %r merged into %r" % (report.sys_quote_id, existing.sys_quote_id))
        for name in cls.FIELDS:
            setattr(obj, name, getattr(report, name))
        obj.reports += 1
        obj.merge(report)
        return obj

    def merge(self, report):
        pass

    def __repr__(self):
        fields = ", ".join("%s=%r" % (k, getattr(self, k)) for k in self.FIELDS)
        return "%s(%s, reports=%d)" % (type(self).__name__, fields, self.reports)
