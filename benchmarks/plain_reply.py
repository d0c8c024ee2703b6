"""The plain-Python reply cleaning that the insight and journal benchmarks
both measure against: str.strip, one ``` fence, one pair of double quotes."""


def plain_clean(text):
    text = text.strip()
    if text.startswith("```") and text.endswith("```"):
        text = text[3:-3].strip() if len(text) > 6 else ""
    if text.startswith('"') and text.endswith('"'):
        text = text[1:-1].strip() if len(text) > 2 else ""
    return text
