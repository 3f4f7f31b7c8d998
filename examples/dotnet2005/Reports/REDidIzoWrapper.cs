using REDidIzo;

namespace Reports
{
    // Wraps the drawing library for the reports.
    public class REDidIzoWrapper
    {
        private readonly REDidIzo.Drawing drawing = new REDidIzo.Drawing();

        public void Prepare()
        {
            drawing.PenColor = 1;
            drawing.WMFSaveSize = 4096;
        }
    }
}
