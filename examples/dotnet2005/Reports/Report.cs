using RUVivEvu;

namespace Reports
{
    public class Report
    {
        public void Style(RUVivEvu.Layer layer)
        {
            layer.TextColor = 0;
            layer.FillColor = 15;
        }
    }
}
